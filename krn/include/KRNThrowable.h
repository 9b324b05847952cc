/// \file
/// The runtime's exception family: every error raised by DVL and its toolkit is a KRNThrowable that
/// carries a back-trace of the places it passed through.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "KRNPlatform.h"

/// A place in the sources: the file name without extension and a line. Locations are data chosen by
/// the code that raises, not the compiler's __FILE__/__LINE__.
class KRN_EXPORT KRNFileLocation {
 public:
  /// file and line; a null file is empty.
  KRNFileLocation(const char* file, int line) : m_file(file ? file : ""), m_line(line) {}
  /// The source file.
  const char* getFile() const { return m_file.c_str(); }
  /// The line in the file.
  int getLine() const { return m_line; }

 private:
  std::string m_file;
  int m_line;
};

/// One frame of a back-trace.
struct KRN_EXPORT KRNBackTraceEntry {
  /// Where the frame was.
  KRNFileLocation location;
  std::string function;  ///< empty when the raiser passed null
  std::string macro;     ///< "KRN_THROW" or "KRN_RETHROW"
};

/// Base of the library's exceptions: a message and a back-trace.
class KRN_EXPORT KRNThrowable : public std::exception {
 public:
  /// An exception with message.
  explicit KRNThrowable(std::string message = std::string());
  ~KRNThrowable() override;

  /// Appends one back-trace entry; the function name may be null.
  void addBackTrace(const KRNFileLocation& location, const char* function, const char* macro);
  /// Records the first entry and throws this object as its own dynamic type. Never returns.
  [[noreturn]] virtual void raise(const KRNFileLocation& location, const char* function, const char* macro);

  /// The frames the exception went through, innermost first.
  const std::vector<KRNBackTraceEntry>& getBackTrace() const { return m_backTrace; }
  /// The message.
  const std::string& getMessage() const { return m_message; }
  /// The exception's kind, e.g. "KRNAssertError".
  virtual const char* getTypeName() const { return "KRNThrowable"; }
  /// The message, then one line per back-trace entry ("  at DVLQuery:79 (KRN_THROW)").
  std::string toString() const;
  /// The message.
  const char* what() const noexcept override { return m_message.c_str(); }

 protected:
  /// Replaces the message.
  void setMessage(std::string message) { m_message = std::move(message); }

 private:
  std::string m_message;
  std::vector<KRNBackTraceEntry> m_backTrace;
};

/// Declares raise() so that a subclass is thrown as itself.
#define KRN_THROWABLE_BODY(Class)                                                          \
  [[noreturn]] void raise(const KRNFileLocation& location, const char* function,             \
                          const char* macro) override {                                      \
    addBackTrace(location, function, macro);                                                 \
    throw *this;                                                                             \
  }                                                                                          \
  const char* getTypeName() const override { return #Class; }

/// A failed check; the text is the check as written, e.g. "KRN_ASSERT(storeID);".
class KRN_EXPORT KRNAssertError : public KRNThrowable {
 public:
  /// A failed assertion: code and text.
  KRNAssertError(int code, const char* text);
  /// The assertion's text.
  const char* getText() const { return m_text.c_str(); }
  /// The assertion's code.
  int getCode() const { return m_code; }
  KRN_THROWABLE_BODY(KRNAssertError)

 private:
  int m_code;
  std::string m_text;
};

/// Running out of memory, in any layer.
class KRN_EXPORT KRNOutOfMemoryError : public KRNThrowable {
 public:
  /// A failure with code and text.
  KRNOutOfMemoryError(int code, const char* text);
  KRN_THROWABLE_BODY(KRNOutOfMemoryError)
};

/// Wraps a std::exception other than std::bad_alloc, keeping its type name and what().
class KRN_EXPORT KRNStdExceptionError : public KRNThrowable {
 public:
  /// Wraps e, keeping its what().
  explicit KRNStdExceptionError(const std::exception& e);
  /// The wrapped exception's what().
  const char* getOriginalWhat() const { return m_originalWhat.c_str(); }
  KRN_THROWABLE_BODY(KRNStdExceptionError)

 private:
  std::string m_originalWhat;
};

/// A failure of the operating system or of an outside resource (file, socket): message names what
/// was being done and the system's reason.
class KRN_EXPORT KRNRuntimeError : public KRNThrowable {
 public:
  /// An error with its message.
  explicit KRNRuntimeError(std::string message) : KRNThrowable(std::move(message)) {}
  KRN_THROWABLE_BODY(KRNRuntimeError)
};
