// Diagnostic lines: one wide-character line per event, handed whole to one of
// three process-wide sinks. Portable: no <windows.h>, so the imaging library
// can log in the native build too.
//
//   TELVOR_TRACE_AT(L"dllmain", L"DllMain") << L"DLL_PROCESS_ATTACH";
//   TELVOR_TRACE_OBJ(L"Corvane", L"Corvane::Run", this);
//   TELVOR_ERROR_AT(L"SharedVideo", L"SharedVideo::Close") << L"err" << code;
//
// Each macro yields a LogLine; the line is finished (line feed appended) and
// passed to its sink when the full expression ends.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

extern "C++" {

// A sink receives one finished, NUL-terminated line, line feed included.
using LogSink = void (*)(const wchar_t* line);

// Every slot starts out holding the platform's debugger-output sink (which also
// honours TELVOR_LOG, see LogRouting). Tests swap them to capture lines.
extern LogSink TraceSink;
extern LogSink InfoSink;
extern LogSink ErrorSink;

}  // extern "C++"

namespace telvor {

inline constexpr wchar_t kLogTag[] = L"TELVOR";

// Prints an object address as exactly 16 upper-case hex digits, then restores
// the stream to decimal so later numbers print as usual.
struct Address {
  const void* pointer;
};
std::wostream& operator<<(std::wostream& out, Address address);

class LogLine {
 public:
  explicit LogLine(LogSink* slot) : slot_(slot) {}
  LogLine(LogLine&& other) noexcept;
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;
  ~LogLine();

  template <typename T>
  LogLine& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }
  LogLine& operator<<(Address address) {
    stream_ << address;
    return *this;
  }
  std::wostream& stream() { return stream_; }

 private:
  LogSink* slot_;
  std::wostringstream stream_;
  bool moved_ = false;
};

// The six line shapes. unit: source unit name; line: source line number.
LogLine TraceAt(const wchar_t* unit, int line, const wchar_t* function);                      // shape 1
LogLine TraceObject(const wchar_t* unit, int line, const wchar_t* function, const void* obj);  // shape 2
LogLine Trace();                                                                              // shape 3, trace sink
LogLine Info();                                                                               // shape 3, info sink
LogLine ErrorAt(const wchar_t* unit, int line, const wchar_t* function);                      // shape 4
LogLine ErrorObject(const wchar_t* unit, int line, const wchar_t* function, const void* obj);  // shape 4 with address
LogLine ErrorLine(const wchar_t* unit, int line);  // shape 5: "...unit(line"; caller continues with "): ..."
LogLine Error();                                   // shape 6

// Signed 32-bit result code, as COM defines it; kept portable here.
using ComResult = std::int32_t;

}  // namespace telvor

// Logs "<unit>(<line>): COM error, hr=<hr>" as an error line and returns hr,
// so that a failure is logged where it happens and passed up unlogged.
telvor::ComResult LogComError(telvor::ComResult hr, const wchar_t* unit, int line);

#define TELVOR_TRACE_AT(unit, function) ::telvor::TraceAt(unit, __LINE__, function)
#define TELVOR_TRACE_OBJ(unit, function, obj) ::telvor::TraceObject(unit, __LINE__, function, obj)
#define TELVOR_ERROR_AT(unit, function) ::telvor::ErrorAt(unit, __LINE__, function)
#define TELVOR_ERROR_OBJ(unit, function, obj) ::telvor::ErrorObject(unit, __LINE__, function, obj)
#define TELVOR_ERROR_LINE(unit) ::telvor::ErrorLine(unit, __LINE__)
#define TELVOR_COM_ERROR(hr, unit) ::LogComError(hr, unit, __LINE__)
