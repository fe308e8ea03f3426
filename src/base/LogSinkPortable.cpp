// Native builds have no debugger output: lines go only where TELVOR_LOG says.
#include "base/Log.h"
#include "base/LogRouting.h"

LogSink TraceSink = telvor::RouteLogLine;
LogSink InfoSink = telvor::RouteLogLine;
LogSink ErrorSink = telvor::RouteLogLine;
