#include "io/reader_process.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "msi/patch_error.h"

namespace makepatch {
namespace {

// The reader process's end of its pipe; -1 outside one.
int channel = -1;

// What travels up the pipe: a tag, a length, the bytes.
enum class Tag : std::uint8_t { kStage = 'S', kError = 'E', kResult = 'R' };

bool WriteAll(int descriptor, const void* data, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = write(descriptor, at, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

void Send(Tag tag, const void* data, std::size_t size) {
  std::uint8_t header[9] = {static_cast<std::uint8_t>(tag)};
  for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(size) >> (8 * i));
  // A parent that is gone leaves nothing to tell.
  if (!WriteAll(channel, header, sizeof header) || !WriteAll(channel, data, size)) _exit(3);
}

[[noreturn]] void RunReader(int descriptor, const std::function<std::vector<std::uint8_t>()>& read) {
  channel = descriptor;
  // The libraries' complaints about a damaged file would be lines beside
  // the one that says what is wrong; some print without GLib's logging.
  g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (nowhere >= 0) dup2(nowhere, STDERR_FILENO);
  int code = 0;
  try {
    const std::vector<std::uint8_t> result = read();
    Send(Tag::kResult, result.data(), result.size());
  } catch (const PatchError& error) {
    Send(Tag::kError, error.what(), std::strlen(error.what()));
    code = 1;
  } catch (const std::bad_alloc&) {
    code = 4;  // told by the parent as the exit it is
  }
  // No exit handlers, no flushing of the parent's buffers: they are the parent's.
  _exit(code);
}

std::string SignalText(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return "signal " + std::to_string(signal) + (abbreviation != nullptr ? " (SIG" + std::string(abbreviation) + ")" : "");
}

// Reads the records of the pipe until it closes; false when the child went
// quiet for longer than kQuietLimit.
bool Collect(int descriptor, std::string& stage, std::string& error, std::vector<std::uint8_t>& result,
             bool& haveResult) {
  std::vector<std::uint8_t> pending;
  std::uint8_t buffer[1 << 16];
  for (;;) {
    pollfd poll_fd{descriptor, POLLIN, 0};
    const int ready = poll(&poll_fd, 1, kQuietLimit * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return false;
    const ssize_t got = read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    pending.insert(pending.end(), buffer, buffer + got);
    std::size_t at = 0;
    while (pending.size() - at >= 9) {
      std::uint64_t size = 0;
      for (int i = 0; i < 8; ++i) size |= static_cast<std::uint64_t>(pending[at + 1 + i]) << (8 * i);
      if (pending.size() - at - 9 < size) {
        pending.reserve(static_cast<std::size_t>(at + 9 + size));
        break;
      }
      const auto* data = pending.data() + at + 9;
      switch (static_cast<Tag>(pending[at])) {
        case Tag::kStage: stage.assign(reinterpret_cast<const char*>(data), size); break;
        case Tag::kError: error.assign(reinterpret_cast<const char*>(data), size); break;
        case Tag::kResult:
          result.assign(data, data + size);
          haveResult = true;
          break;
      }
      at += 9 + static_cast<std::size_t>(size);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

}  // namespace

void ReadingStage(const std::string& part) {
  if (channel >= 0) Send(Tag::kStage, part.data(), part.size());
}

std::vector<std::uint8_t> ReadInReaderProcess(const std::string& file, const std::string& kind,
                                              const std::function<std::vector<std::uint8_t>()>& read) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw PatchError("cannot start a reader of " + file + ": " + std::strerror(errno));
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    const int cause = errno;
    close(ends[0]);
    close(ends[1]);
    throw PatchError("cannot start a reader of " + file + ": " + std::strerror(cause));
  }
  if (child == 0) {
    // A reader outliving a killed tool would keep its scratch folders
    // locked (and busy) for the next run.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(5);
    close(ends[0]);
    RunReader(ends[1], read);
  }
  close(ends[1]);
  std::string stage, error;
  std::vector<std::uint8_t> result;
  bool haveResult = false;
  bool done = false;
  try {
    done = Collect(ends[0], stage, error, result, haveResult);
  } catch (...) {
    kill(child, SIGKILL);
    close(ends[0]);
    waitpid(child, nullptr, 0);
    throw;
  }
  close(ends[0]);
  if (!done) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string part = stage.empty() ? "its compound file" : stage;
  if (!done) {
    throw DamagedFile(file, part,
                      "reading it made no progress for " + std::to_string(kQuietLimit / 60) + " minutes", kind);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && haveResult) return result;
  if (!error.empty()) throw PatchError(error);
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    if (signal == SIGKILL) {
      throw PatchError(file + ": its reader was killed reading " + part + " (out of memory?)");
    }
    throw DamagedFile(file, part, "the library reading it died of " + SignalText(signal), kind);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 4) {
    throw PatchError(file + ": not enough memory to read " + part);
  }
  throw DamagedFile(file, part, "its reader ended with exit code " + std::to_string(WEXITSTATUS(status)), kind);
}

}  // namespace makepatch
