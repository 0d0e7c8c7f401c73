// The event of FT_SetEventNotification: received data wakes a caller that waits on it, or a
// notifier that watches its descriptor, without polling the device.
//
// An EventHandle is signalled while a device that notifies it has received bytes waiting: in its
// receive queue, or on their way into it (in the tty, on the emulated link's socket). Reading
// them clears it; it is a level, not a count, so nothing is lost between a wake and the read.
// Descriptor() is readable exactly while it is signalled, for poll(2) or a QSocketNotifier. A
// wake without bytes is possible (an emulated device that sent only a new modem status): the
// caller asks FT_GetStatus, which also takes that status in.
//
// Several devices may notify one event. The event may be destroyed before its devices: a device
// keeps nothing of it but duplicated descriptors.
#pragma once

#include <chrono>

namespace d2xx {

class EventHandle {
 public:
  EventHandle();
  ~EventHandle();
  EventHandle(const EventHandle &) = delete;
  EventHandle &operator=(const EventHandle &) = delete;

  // False when the system would not give the descriptor; such an event is never signalled.
  bool Valid() const { return fd_ >= 0; }
  // Waits at most `timeout` until the event is signalled; true when it is.
  bool Wait(std::chrono::milliseconds timeout) const;
  bool Signalled() const { return Wait(std::chrono::milliseconds(0)); }
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;  // an epoll set of the devices' descriptors
};

// A device's part in an event, for the devices of the providers: the device's own descriptor
// (readable when bytes arrive) and a flag that the device raises while its receive queue holds
// bytes that it has already taken from that descriptor.
class EventLink {
 public:
  EventLink() = default;
  ~EventLink() { Detach(); }
  EventLink(const EventLink &) = delete;
  EventLink &operator=(const EventLink &) = delete;

  // Notifies `event` from now on, in place of an earlier event; `deviceFd` may be -1. False when
  // the descriptors could not be set up, and nothing is notified then.
  bool Attach(const EventHandle &event, int deviceFd);
  // Stops notifying; to be called before the device closes its descriptor.
  void Detach();
  bool Attached() const { return epoll_ >= 0; }
  // Whether the device's queue holds received bytes.
  void SetQueued(bool queued);

 private:
  int epoll_ = -1;   // the event's set, duplicated
  int queued_ = -1;  // an eventfd, readable while the flag is raised
  int deviceFd_ = -1;
  bool raised_ = false;
};

}  // namespace d2xx
