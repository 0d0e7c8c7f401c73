// The Esc key of the windows that run exchanges with the unit.
#pragma once

class QAbstractButton;
class QKeyEvent;

// Esc presses the window's Cancel button, which does nothing while it is disabled (an exchange
// runs): returns whether the key was Esc, which is then taken.
bool EscapePressesCancel(QKeyEvent *event, QAbstractButton *cancel);
