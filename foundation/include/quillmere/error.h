// Errors of the core. Nothing crosses a public boundary as a C++ exception:
// every fallible operation returns Result<T>.
#pragma once

#include <exception>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace quillmere {

enum class ErrorKind : unsigned char {
  // The IndexError family: display text is a fixed prefix plus the detail.
  MissingAttribute,
  FileOperation,
  InvalidYamlConfig,
  InvalidJsonConfig,
  ModelCreation,
  // Fixed-text refusals: the detail is the whole text.
  Assertion,       // a broken precondition ("assertion failed: ...")
  BufferFull,      // "Buffer is full, cannot insert new record"
  NotImplemented,  // "not yet implemented"
  InvalidValue,    // unknown option texts, wrong vector lengths, absurd sizes
  OutOfRange,      // statistics asked for a level or bucket that does not exist
  Io,              // a failed read, write or seek inside an opened file
  OutOfMemory,     // an allocation that could not be satisfied
  Internal,        // an unexpected exception from the runtime or a library, with its own text
  Interrupted,     // long work stopped at the caller's request ("interrupted", see interrupt.h)
};

struct Error {
  ErrorKind kind;
  std::string detail;

  // True for the five kinds that make up IndexError.
  bool is_index_error() const noexcept { return kind <= ErrorKind::ModelCreation; }
  // The display text: prefix + detail for IndexError, the detail alone otherwise.
  std::string message() const;

  static Error missing_attribute(std::string name) { return {ErrorKind::MissingAttribute, std::move(name)}; }
  static Error file_operation(std::string d) { return {ErrorKind::FileOperation, std::move(d)}; }
  static Error invalid_yaml(std::string d) { return {ErrorKind::InvalidYamlConfig, std::move(d)}; }
  static Error invalid_json(std::string d) { return {ErrorKind::InvalidJsonConfig, std::move(d)}; }
  static Error model_creation(std::string d) { return {ErrorKind::ModelCreation, std::move(d)}; }
  static Error assertion(std::string text) { return {ErrorKind::Assertion, std::move(text)}; }
  static Error invalid_value(std::string text) { return {ErrorKind::InvalidValue, std::move(text)}; }
  static Error out_of_range(std::string text) { return {ErrorKind::OutOfRange, std::move(text)}; }
  static Error io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  static Error out_of_memory(std::string text) { return {ErrorKind::OutOfMemory, std::move(text)}; }
  static Error internal(std::string text) { return {ErrorKind::Internal, std::move(text)}; }
};

// The Error for an exception caught while making or changing `what` (a noun phrase, e.g.
// "the search's working lists"). Only an allocation failure (std::bad_alloc, or
// std::length_error for a size beyond any list) is OutOfMemory, "Cannot allocate <what>";
// any other exception is Internal and keeps its own text.
Error exception_error(const std::exception& e, std::string_view what);

// The operating system's description of errno value `err`, e.g. "No such file or directory (os error 2)".
std::string os_error_text(int err);

// The one wording of a failed file operation: what was being done, to which path, and why,
// e.g. "cannot open /data/ix/buffer_ids.bin: No such file or directory". `action` is a verb
// phrase ("open", "create directory"); `err` an errno value, or `reason` a text of our own.
std::string file_error_text(std::string_view action, std::string_view path, int err);
std::string file_error_text(std::string_view action, std::string_view path, std::string_view reason);
// Error::file_operation with that text.
Error file_error(std::string_view action, std::string_view path, int err);

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

}  // namespace quillmere
