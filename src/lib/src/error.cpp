#include "quillmere/error.h"

#include <cstring>

namespace quillmere {

std::string Error::message() const {
  switch (kind) {
    case ErrorKind::MissingAttribute: return "Missing attribute: " + detail;
    case ErrorKind::FileOperation: return "File operation failed: " + detail;
    case ErrorKind::InvalidYamlConfig: return "Invalid YAML config: " + detail;
    case ErrorKind::InvalidJsonConfig: return "Invalid JSON config: " + detail;
    case ErrorKind::ModelCreation: return "Model creation failed: " + detail;
    default: return detail;
  }
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace quillmere
