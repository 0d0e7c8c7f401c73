#include "d2xx/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace d2xx {

namespace {

bool watch(int epoll, int fd) {
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = fd;
  return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e) == 0;
}

}  // namespace

EventHandle::EventHandle() : fd_(epoll_create1(EPOLL_CLOEXEC)) {}

EventHandle::~EventHandle() {
  if (fd_ >= 0) close(fd_);
}

bool EventHandle::Wait(std::chrono::milliseconds timeout) const {
  if (fd_ < 0) return false;
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{fd_, POLLIN, 0};
    const int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

bool EventLink::Attach(const EventHandle &event, int deviceFd) {
  Detach();
  if (!event.Valid()) return false;
  epoll_ = fcntl(event.Descriptor(), F_DUPFD_CLOEXEC, 0);
  queued_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ < 0 || queued_ < 0 || !watch(epoll_, queued_) ||
      (deviceFd >= 0 && !watch(epoll_, deviceFd))) {
    Detach();
    return false;
  }
  deviceFd_ = deviceFd;
  if (raised_) {
    raised_ = false;
    SetQueued(true);
  }
  return true;
}

void EventLink::Detach() {
  if (epoll_ >= 0 && deviceFd_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, deviceFd_, nullptr);
  // The eventfd leaves the set when it is closed: no other descriptor refers to it.
  if (queued_ >= 0) close(queued_);
  if (epoll_ >= 0) close(epoll_);
  epoll_ = queued_ = deviceFd_ = -1;
}

void EventLink::SetQueued(bool queued) {
  if (queued == raised_) return;
  raised_ = queued;
  if (queued_ < 0) return;
  if (queued) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = write(queued_, &one, sizeof one);
  } else {
    std::uint64_t count = 0;
    [[maybe_unused]] auto n = read(queued_, &count, sizeof count);
  }
}

}  // namespace d2xx
