#include "inject/Injector.h"
#include "inject/InjectLog.h"
#include "inject/KeySink.h"

namespace vanterel::inject {
Q_LOGGING_CATEGORY(lcInject, "vanterel.inject")

Injector::~Injector() = default;
KeySink::~KeySink() = default;
} // namespace vanterel::inject
