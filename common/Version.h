#pragma once

#include <QString>

namespace vanterel {

inline constexpr int VersionMajor = VANTEREL_VERSION_MAJOR;
inline constexpr int VersionMinor = VANTEREL_VERSION_MINOR;
inline constexpr int VersionRevision = VANTEREL_VERSION_PATCH;

// "1.1.0": major, minor and revision in plain decimal joined by dots.
inline QString VersionText()
{
    return QStringLiteral("%1.%2.%3").arg(VersionMajor).arg(VersionMinor).arg(VersionRevision);
}

inline QString WindowCaption()
{
    return QStringLiteral("Vanterel v") + VersionText();
}
inline QString MakeServerSignature()
{
    return QStringLiteral("Vanterel Version ") + VersionText();
}

} // namespace vanterel
