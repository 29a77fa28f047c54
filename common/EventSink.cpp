#include "common/EventSink.h"

namespace vanterel {
EventSink::~EventSink() = default;
} // namespace vanterel
