#include "base/Log.h"

#include <iomanip>

namespace telvor {
namespace {

constexpr wchar_t kPrefix[] = L"[TELVOR] ";
constexpr wchar_t kErrorPrefix[] = L"[TELVOR][ERROR]: ";

// Ends after the line number: shape 5 callers continue with "): ...".
LogLine Located(LogSink* slot, const wchar_t* prefix, const wchar_t* unit, int line) {
  LogLine out(slot);
  out << prefix << unit << L"(" << line;
  return out;
}

LogLine InFunction(LogSink* slot, const wchar_t* prefix, const wchar_t* unit, int line, const wchar_t* function) {
  LogLine out = Located(slot, prefix, unit, line);
  out << L"): [" << function << L"] ";
  return out;
}

LogLine OnObject(LogSink* slot, const wchar_t* prefix, const wchar_t* unit, int line, const wchar_t* function,
                 const void* obj) {
  LogLine out = Located(slot, prefix, unit, line);
  out << L"): [" << function << L"], 0x" << Address{obj};
  return out;
}

}  // namespace

std::wostream& operator<<(std::wostream& out, Address address) {
  const auto flags = out.flags();
  const auto fill = out.fill();
  out << std::hex << std::uppercase << std::setw(16) << std::setfill(L'0')
      << reinterpret_cast<std::uintptr_t>(address.pointer);
  out.flags(flags);
  out.fill(fill);
  return out;
}

LogLine::LogLine(LogLine&& other) noexcept : slot_(other.slot_), stream_(std::move(other.stream_)) {
  other.moved_ = true;
}

LogLine::~LogLine() {
  if (moved_) return;
  stream_ << std::endl;
  const std::wstring text = stream_.str();
  LogSink sink = *slot_;
  if (sink) sink(text.c_str());
}

LogLine TraceAt(const wchar_t* unit, int line, const wchar_t* function) {
  return InFunction(&TraceSink, kPrefix, unit, line, function);
}

LogLine TraceObject(const wchar_t* unit, int line, const wchar_t* function, const void* obj) {
  return OnObject(&TraceSink, kPrefix, unit, line, function, obj);
}

LogLine Trace() {
  LogLine out(&TraceSink);
  out << kPrefix;
  return out;
}

LogLine Info() {
  LogLine out(&InfoSink);
  out << kPrefix;
  return out;
}

LogLine ErrorAt(const wchar_t* unit, int line, const wchar_t* function) {
  return InFunction(&ErrorSink, kErrorPrefix, unit, line, function);
}

LogLine ErrorObject(const wchar_t* unit, int line, const wchar_t* function, const void* obj) {
  LogLine out = OnObject(&ErrorSink, kErrorPrefix, unit, line, function, obj);
  out << L" ";
  return out;
}

LogLine ErrorLine(const wchar_t* unit, int line) { return Located(&ErrorSink, kErrorPrefix, unit, line); }

LogLine Error() {
  LogLine out(&ErrorSink);
  out << kErrorPrefix;
  return out;
}

}  // namespace telvor

telvor::ComResult LogComError(telvor::ComResult hr, const wchar_t* unit, int line) {
  telvor::ErrorLine(unit, line) << L"): COM error, hr=" << hr;
  return hr;
}
