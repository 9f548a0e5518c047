#include "zunq/log/LogSink.h"

LogSink::~LogSink() = default;
