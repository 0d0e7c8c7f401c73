#include "ui/open_dialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLineEdit>

#include "ui/window_fit.h"

QString DialogStartFolder(const std::string &remembered, const std::string &programFolder) {
  const QString path = QString::fromStdString(remembered);
  if (path.isEmpty() || QDir::isRelativePath(path)) return QDir::homePath();
  const QFileInfo info(path);
  const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
  if (!QFileInfo(folder).isDir()) return QDir::homePath();
  if (!programFolder.empty() && QDir(folder) == QDir(QString::fromStdString(programFolder)))
    return QDir::homePath();
  return folder;
}

void PrepareOpenDialog(QFileDialog &dialog, const std::string &remembered,
                       const std::string &programFolder) {
  const QStringList filters = dialog.nameFilters();
  if (!filters.isEmpty()) dialog.selectNameFilter(filters.first());
  dialog.setDirectory(DialogStartFolder(remembered, programFolder));
  // Qt's dialog keeps the last name in its name field and the last choice selected in its file
  // views (which share one selection); either would be proposed again.
  if (auto *name = dialog.findChild<QLineEdit *>("fileNameEdit")) name->clear();
  for (const char *view : {"listView", "treeView"})
    if (auto *files = dialog.findChild<QAbstractItemView *>(view))
      if (files->selectionModel() != nullptr) files->selectionModel()->clear();
}

QFileDialog *MakeOpenDialog(QWidget *window, const QString &title) {
  auto *dialog = new QFileDialog(window, title);
  dialog->setObjectName("OpenDialog1");
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);
  return dialog;
}

bool RunFileDialog(QFileDialog &dialog, QWidget *window) {
  const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
  for (QCompleter *completer : dialog.findChildren<QCompleter *>())
    if (completer->popup()) completer->popup()->hide();
  RestoreFocus(window);
  return chosen;
}
