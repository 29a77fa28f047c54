#include "inject/Injector.h"

namespace vanterel::inject {
Injector::~Injector() = default;
} // namespace vanterel::inject
