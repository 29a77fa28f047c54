#include "config/ConfigFile.h"

#include "config/LeadingNumber.h"
#include "config/ReplaceFile.h"
#include "keys/TextLines.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace vanterel::config {

namespace {

// The value of the SITES record that lets pages of other sites run commands.
constexpr QStringView AnySite = u"any";
// The first field of the DEVICES record when only approved devices press keys.
constexpr QStringView OnlyApproved = u"only";

// The fields after the record's name, without empty ones.
QStringList valuesAfterName(const QList<QStringView> &fields)
{
    QStringList values;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        if (!fields[i].trimmed().isEmpty())
            values.append(fields[i].trimmed().toString());
    }
    return values;
}

// Tabs become blanks and every run of blanks one blank, values included.
QString collapseBlanks(QStringView line)
{
    QString out;
    out.reserve(line.size());
    for (QChar c : line) {
        if (c == u'\t')
            c = u' ';
        if (c == u' ' && !out.isEmpty() && out.back() == u' ')
            continue;
        out.append(c);
    }
    return out;
}

// A value beyond 32 bits reads 0, as if the field held no number.
qint32 number(QStringView field)
{
    return ReadLeadingNumber(field).value;
}

// A hold in milliseconds, or 0 (said in ignored) when it is out of range.
qint32 hold(QStringView field, const QString &what, QStringList &ignored)
{
    const LeadingNumber ms = ReadLeadingNumber(field);
    if (ms.inRange && ms.value >= keys::MinHoldMs && ms.value <= keys::MaxHoldMs)
        return ms.value;
    ignored.append(QStringLiteral("Ignored %1 \"%2\" in keys.dat: a hold is from %3 to %4 ms")
                       .arg(what, field.trimmed())
                       .arg(keys::MinHoldMs)
                       .arg(keys::MaxHoldMs));
    return 0;
}

void applyLine(QStringView rawLine, Settings &settings, keys::KeyBindings &bindings, QStringList &ignored)
{
    const QStringView stripped = keys::StripBlanks(rawLine);
    if (keys::IsCommentOrEmpty(stripped))
        return;
    const QString line = collapseBlanks(stripped);
    const QList<QStringView> fields = QStringView(line).split(QChar(FieldSeparator));
    if (fields.size() < 2)
        return;

    const QString key = fields[0].toString().toUpper();
    if (key == u"PORT") {
        settings.ServerPort = number(fields[1]);
    } else if (key == u"KEY") {
        if (fields.size() < 6)
            return;
        keys::KeyBinding &binding = bindings.append();
        binding.Callback = fields[1].toString();
        binding.SecondKey = number(fields[2]);
        binding.SecondModifiers = number(fields[3]);
        binding.FirstKey = number(fields[4]);
        binding.FirstModifiers = number(fields[5]);
        if (fields.size() > 6 && !fields[6].trimmed().isEmpty())
            binding.HoldMs = hold(fields[6], QStringLiteral("the hold of ") + binding.Callback, ignored);
    } else if (key == u"HOLD") {
        settings.TapHoldMs = hold(fields[1], QStringLiteral("HOLD"), ignored);
    } else if (key == u"KEYFILE") {
        settings.KeyFile = fields[1].toString();
    } else if (key == u"FOLDER") {
        settings.DocumentRoot = fields[1].toString();
    } else if (key == u"SITES") {
        settings.AllowOtherSites = fields[1].compare(AnySite, Qt::CaseInsensitive) == 0;
    } else if (key == u"HOSTS") {
        settings.HostNames = valuesAfterName(fields);
    } else if (key == u"DEVICES") {
        settings.OnlyApprovedDevices = fields[1].trimmed().compare(OnlyApproved, Qt::CaseInsensitive) == 0;
        settings.ApprovedDevices = valuesAfterName(fields.mid(1));
    }
}

// What can be stored in one field without changing the file's shape.
QString storable(QString text)
{
    for (QChar &c : text) {
        if (c == QChar(FieldSeparator) || c == u'\r' || c == u'\n')
            c = u' ';
    }
    return text;
}

QStringList storableAll(const QStringList &values)
{
    QStringList out;
    for (const QString &value : values)
        out.append(storable(value));
    return out;
}

void appendRecord(QByteArray &out, const QStringList &fields)
{
    out += fields.join(QChar(FieldSeparator)).toLocal8Bit();
    out += "\r\n";
}

// Reading strips blanks from both ends of a line, so a path that ends in a
// blank would come back as another path. A closing separator keeps the blank
// inside the line; fields after the path are ignored.
void appendPathRecord(QByteArray &out, const QString &name, const QString &path)
{
    QStringList record{name, storable(path)};
    if (record.last().endsWith(u' '))
        record.append(QString());
    appendRecord(out, record);
}

} // namespace

bool FileExists(const QString &path)
{
    QString p = path;
    if (p.endsWith(u'/') || p.endsWith(QDir::separator()))
        p.chop(1);
    return !p.isEmpty() && QFileInfo(p).isFile();
}

ConfigResult LoadConfig(const QString &path, Settings &settings, keys::KeyBindings &bindings)
{
    const Settings defaults;
    settings.TargetWindowTitle = defaults.TargetWindowTitle;
    settings.ServerPort = defaults.ServerPort;
    settings.AllowOtherSites = defaults.AllowOtherSites;
    settings.HostNames = defaults.HostNames;
    settings.OnlyApprovedDevices = defaults.OnlyApprovedDevices;
    settings.ApprovedDevices = defaults.ApprovedDevices;
    settings.TapHoldMs = defaults.TapHoldMs;
    settings.KeyFile = defaults.KeyFile;
    bindings.reset();
    if (!FileExists(path))
        return {};

    QString text;
    QString reason;
    if (!keys::ReadTextFile(path, text, reason))
        return {false, reason};
    ConfigResult result;
    for (QStringView line : keys::SplitLines(text))
        applyLine(line, settings, bindings, result.ignored);
    return result;
}

ConfigResult SaveConfig(const QString &path, const Settings &settings, const keys::KeyBindings &bindings)
{
    QByteArray out;
    appendRecord(out, {QStringLiteral("PORT"), QString::number(settings.ServerPort)});
    appendPathRecord(out, QStringLiteral("FOLDER"), settings.DocumentRoot);
    // Only when set, so that a file without the record is written as before.
    if (settings.AllowOtherSites)
        appendRecord(out, {QStringLiteral("SITES"), AnySite.toString()});
    if (!settings.HostNames.isEmpty())
        appendRecord(out, QStringList{QStringLiteral("HOSTS")} + storableAll(settings.HostNames));
    if (settings.OnlyApprovedDevices || !settings.ApprovedDevices.isEmpty()) {
        appendRecord(out,
                     QStringList{QStringLiteral("DEVICES"),
                                 (settings.OnlyApprovedDevices ? OnlyApproved : AnySite).toString()}
                         + storableAll(settings.ApprovedDevices));
    }
    if (settings.TapHoldMs > 0)
        appendRecord(out, {QStringLiteral("HOLD"), QString::number(settings.TapHoldMs)});
    if (!settings.KeyFile.isEmpty())
        appendPathRecord(out, QStringLiteral("KEYFILE"), settings.KeyFile);
    const qint32 count = bindings.upperBound();
    for (qint32 i = 1; i <= count; ++i) {
        const keys::KeyBinding &b = bindings.at(i);
        QStringList record{QStringLiteral("key"),        storable(b.Callback),
                           QString::number(b.SecondKey), QString::number(b.SecondModifiers),
                           QString::number(b.FirstKey),  QString::number(b.FirstModifiers)};
        if (b.HoldMs > 0)
            record.append(QString::number(b.HoldMs));
        appendRecord(out, record);
    }

    const QString failure = ReplaceFile(path, out);
    if (!failure.isEmpty())
        return {false, failure};
    return {};
}

QStringList RemoveUnfinishedSaves(const QString &path)
{
    const QFileInfo target(path);
    const QString prefix = target.fileName() + QLatin1String(SaveTemporaryInfix);
    QStringList removed;
    QDir folder = target.absoluteDir();
    for (const QString &name : folder.entryList({prefix + u'*'}, QDir::Files | QDir::Hidden | QDir::System)) {
        const QStringView letters = QStringView(name).mid(prefix.size());
        const bool ours
            = letters.size() == 6 && std::all_of(letters.begin(), letters.end(), [](QChar c) {
                  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
              });
        if (ours && folder.remove(name))
            removed.append(name);
    }
    return removed;
}

} // namespace vanterel::config
