// The inotify implementation of tFolderWatcher. One inotify descriptor holds a watch per
// folder; an eventfd lets the destructor wake the thread out of its untimed poll().
#include "platform/folder_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/files.h"

namespace q2 {

namespace {

// IN_ONLYDIR makes a path that is not a folder fail at once instead of watching a file.
constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
// Large enough for many events per read(); one event with the longest name must fit, or
// read() fails with EINVAL.
constexpr size_t kReadBufferBytes = 64 * 1024;
static_assert(kReadBufferBytes >= sizeof(inotify_event) + NAME_MAX + 1);

// A descriptor closed on destruction.
class tUniqueFd final {
 public:
  explicit tUniqueFd(int fd) : fd_(fd) {}
  ~tUniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  tUniqueFd(const tUniqueFd&) = delete;
  tUniqueFd& operator=(const tUniqueFd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

class tInotifyWatcher final : public tFolderWatcher {
 public:
  tInotifyWatcher(const std::vector<std::string>& folders, tEvent* wakeUp);
  ~tInotifyWatcher() override;

 private:
  enum class tDrain { Nothing, Finished, Failed };

  void Run();
  // Reads the queued notifications; Finished when one of them may be a finished file.
  tDrain Drain();

  tEvent* wakeUp_;
  tUniqueFd notifyFd_;
  tUniqueFd stopFd_;
  std::thread thread_;  // last: starts only when both descriptors are ready
};

tInotifyWatcher::tInotifyWatcher(const std::vector<std::string>& folders, tEvent* wakeUp)
    : wakeUp_(wakeUp),
      notifyFd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      stopFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (notifyFd_.Get() < 0 || stopFd_.Get() < 0) {
    throw std::runtime_error("can't watch folders: " + SysErrorMessage(errno));
  }
  for (const std::string& folder : folders) {
    if (inotify_add_watch(notifyFd_.Get(), folder.c_str(), kWatchMask) < 0) {
      throw std::runtime_error("can't watch folder \"" + folder + "\": " + SysErrorMessage(errno));
    }
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    throw std::runtime_error(std::string("can't watch folders: ") + e.what());
  }
}

tInotifyWatcher::~tInotifyWatcher() {
  const uint64_t one = 1;
  // An eventfd write of 8 bytes cannot be short; it could only fail on counter overflow.
  ssize_t written = write(stopFd_.Get(), &one, sizeof(one));
  (void)written;
  thread_.join();
}

void tInotifyWatcher::Run() {
  pollfd fds[2] = {{notifyFd_.Get(), POLLIN, 0}, {stopFd_.Get(), POLLIN, 0}};
  for (;;) {
    // No timeout: the thread costs nothing between notifications and adds no delay of its
    // own; the timer of the worker is the fallback, not a timeout here.
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    tDrain drained = Drain();
    if (drained == tDrain::Failed) break;
    if (drained == tDrain::Finished) wakeUp_->Set();
  }
  // The watcher cannot go on. One last wake-up lets the worker look at the folders in
  // case a notification was lost here; from now on its timer alone drives it.
  wakeUp_->Set();
}

tInotifyWatcher::tDrain tInotifyWatcher::Drain() {
  // One read() per wake-up of poll(), so that under a steady stream of notifications the
  // event is still set promptly and a stop request is still seen.
  alignas(inotify_event) char buffer[kReadBufferBytes];
  ssize_t got = read(notifyFd_.Get(), buffer, sizeof(buffer));
  if (got < 0) return errno == EINTR || errno == EAGAIN ? tDrain::Nothing : tDrain::Failed;
  if (got == 0) return tDrain::Failed;
  tDrain result = tDrain::Nothing;
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    // IN_Q_OVERFLOW: notifications were dropped, a finished file may be among them.
    // IN_IGNORED (the folder was removed or unmounted) does not count.
    if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_Q_OVERFLOW)) != 0) {
      result = tDrain::Finished;
    }
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  return result;
}

}  // namespace

std::unique_ptr<tFolderWatcher> tFolderWatcher::Create(const std::vector<std::string>& folders,
                                                       tEvent* wakeUp) {
  return std::make_unique<tInotifyWatcher>(folders, wakeUp);
}

}  // namespace q2
