// For tests only: loggers over fake services, and a way to forget the
// process-wide instance so that the next GetInstance builds a new one.
#pragma once

#include <functional>
#include <memory>

#include "logging/LogFiles.h"
#include "logging/Logger.h"

namespace stavora {

class LoggerTestSeam {
 public:
  using Factory = std::function<std::unique_ptr<ILogFiles>()>;

  // A logger of its own (not the process instance) over `files`. Throws what
  // the constructor throws.
  static std::unique_ptr<Logger> Create(std::unique_ptr<ILogFiles> files);

  // Deletes the process instance, if any, under the log lock.
  static void ResetInstance();

  // Makes GetInstance build its instance's services with `factory` from now
  // on; an empty factory restores the platform's.
  static void SetFactory(Factory factory);

  // The rotation threshold in bytes.
  static constexpr std::int64_t kRotationSize = 1048576;
};

}  // namespace stavora
