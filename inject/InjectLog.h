#pragma once

#include <QLoggingCategory>

namespace vanterel::inject {
// Diagnostics of the key-injection library (warnings about dropped strokes and
// failed backend calls); the event log only gets the factory's one line.
Q_DECLARE_LOGGING_CATEGORY(lcInject)
} // namespace vanterel::inject
