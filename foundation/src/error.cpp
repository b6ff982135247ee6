#include "quillmere/error.h"

#include <cstring>
#include <new>
#include <stdexcept>

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

Error exception_error(const std::exception& e, std::string_view what) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return Error::out_of_memory("Cannot allocate " + std::string(what));
  if (dynamic_cast<const std::length_error*>(&e) != nullptr)
    return Error::out_of_memory("Cannot allocate " + std::string(what) + ": the size exceeds the largest possible list");
  return Error::internal("Unexpected error while making " + std::string(what) + ": " + e.what());
}

namespace {

std::string describe_errno(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  return strerror_r(err, buf, sizeof buf);
}

}  // namespace

std::string os_error_text(int err) { return describe_errno(err) + " (os error " + std::to_string(err) + ")"; }

std::string file_error_text(std::string_view action, std::string_view path, std::string_view reason) {
  std::string text = "cannot ";
  text.append(action).append(" ").append(path).append(": ").append(reason);
  return text;
}

std::string file_error_text(std::string_view action, std::string_view path, int err) {
  return file_error_text(action, path, describe_errno(err));
}

Error file_error(std::string_view action, std::string_view path, int err) {
  return Error::file_operation(file_error_text(action, path, err));
}

}  // namespace quillmere
