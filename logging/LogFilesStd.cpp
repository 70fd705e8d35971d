// The log writer's services with the standard library: $TMPDIR (or the
// library's idea of the temporary directory), fstreams and std::filesystem;
// the lock across processes is a flock on the log's directory.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <time.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "logging/FileSize.h"
#include "logging/LogFiles.h"
#include "logging/NativePath.h"

namespace stavora {
namespace {

class StdLogFiles final : public ILogFiles {
 public:
  ~StdLogFiles() override {
    if (m_lockedDirectory != -1) close(m_lockedDirectory);
  }

  WString TempDirectory() override {
    std::string directory;
    if (const char* fromEnvironment = std::getenv("TMPDIR"); fromEnvironment && *fromEnvironment) {
      directory = fromEnvironment;
    } else {
      std::error_code error;
      directory = std::filesystem::temp_directory_path(error).string();
      if (error || directory.empty()) throw std::runtime_error("Cannot determine temp directory.");
    }
    if (directory.back() != '/') directory += '/';
    return NativeUtf16(directory);
  }

  std::int64_t FileSize(const WString& path) override { return GetFileSize(path); }

  bool AppendBytes(const WString& path, const std::string& bytes) override {
    std::ofstream file(NativePath(path), std::ios::binary | std::ios::app);
    if (!file.is_open()) return false;
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    const bool written = file.good();
    file.close();
    return written && !file.fail();
  }

  bool ReplaceFile(const WString& from, const WString& to) override {
    // rename(2) replaces an existing target in one step.
    std::error_code error;
    std::filesystem::rename(NativePath(from), NativePath(to), error);
    return !error;
  }

  std::tm LocalTime() override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
  }

  StepAccess BeginLogStep(const WString& path) override {
    // The directory rather than a lock file beside the log: nothing new
    // appears in it. A missing directory, or one that is a symbolic link,
    // takes no line.
    const std::string directory = NativePath(path).parent_path().string();
    const int descriptor =
        open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor == -1) return StepAccess::kRefused;
    // About a second at most, then without the lock.
    for (int round = 0; round < 200; ++round) {
      if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        m_lockedDirectory = descriptor;
        return StepAccess::kLocked;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      usleep(5000);
    }
    close(descriptor);
    return StepAccess::kUnlocked;
  }

  void EndLogStep() override {
    // Closing the descriptor gives the flock back.
    if (m_lockedDirectory != -1) close(m_lockedDirectory);
    m_lockedDirectory = -1;
  }

 private:
  int m_lockedDirectory = -1;
};

}  // namespace

std::unique_ptr<ILogFiles> MakePlatformLogFiles() { return std::make_unique<StdLogFiles>(); }

}  // namespace stavora
