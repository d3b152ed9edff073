#include "textfile.h"

#include "ownerfile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringConverter>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {

QStringConverter::Encoding converterFor(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8Bom:
        return QStringConverter::Utf8;
    case TextEncoding::Utf16LE:
        return QStringConverter::Utf16LE;
    case TextEncoding::Utf16BE:
        return QStringConverter::Utf16BE;
    case TextEncoding::System:
        break;
    }
    return QStringConverter::System;
}

QByteArray byteOrderMark(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8Bom:
        return QByteArray("\xEF\xBB\xBF", 3);
    case TextEncoding::Utf16LE:
        return QByteArray("\xFF\xFE", 2);
    case TextEncoding::Utf16BE:
        return QByteArray("\xFE\xFF", 2);
    case TextEncoding::System:
        break;
    }
    return {};
}

} // namespace

TextContent readTextContent(const QString &path)
{
    TextContent out;
    QFile file(path);
    if (!file.exists())
        return out;
    out.exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        out.status = {false, file.errorString()};
        return out;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        out.status = {false, file.errorString()};
        return out;
    }

    qsizetype skip = 0;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        out.encoding = TextEncoding::Utf8Bom;
        skip = 3;
    } else if (bytes.startsWith("\xFF\xFE")) {
        out.encoding = TextEncoding::Utf16LE;
        skip = 2;
    } else if (bytes.startsWith("\xFE\xFF")) {
        out.encoding = TextEncoding::Utf16BE;
        skip = 2;
    }

    const QByteArrayView content = QByteArrayView(bytes).sliced(skip);
    QStringDecoder decoder(converterFor(out.encoding), QStringConverter::Flag::Stateless);
    out.text = decoder.decode(content);
    // Qt's UTF-16 decoder turns a dangling last byte into U+FFFD without reporting it.
    const bool utf16 = out.encoding == TextEncoding::Utf16LE || out.encoding == TextEncoding::Utf16BE;
    if (decoder.hasError() || (utf16 && content.size() % 2 != 0)) {
        out.status = {false, QStringLiteral("Файл %1 не удаётся прочитать в его кодировке").arg(path)};
        out.text.clear();
    }
    return out;
}

std::vector<QStringView> splitTextLines(QStringView text)
{
    // One pass over the text: QString::replace of CR LF takes seconds on a million lines (Qt 6.4).
    std::vector<QStringView> lines;
    lines.reserve(std::size_t(text.count(QLatin1Char('\n')) + 1));
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines.push_back(text.sliced(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.push_back(text.sliced(start));
    return lines;
}

TextLines readTextLines(const QString &path)
{
    const TextContent content = readTextContent(path);
    TextLines out{content.exists, content.status, content.encoding, {}};
    const std::vector<QStringView> lines = splitTextLines(content.text);
    out.lines.reserve(qsizetype(lines.size()));
    for (const QStringView line : lines)
        out.lines.append(line.toString());
    return out;
}

TextFileResult writeTextFile(const QString &path, const QString &text, TextEncoding encoding)
{
    QStringEncoder encoder(converterFor(encoding), QStringConverter::Flag::Stateless);
    const QByteArray mark = byteOrderMark(encoding);
    const QByteArray bytes = encoder.encode(text);

    // A new file is its owner's only; one that exists keeps its mode (QSaveFile carries it over).
    const bool existed = QFile::exists(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {false, file.errorString()};
    if (!existed)
        file.setPermissions(kOwnerOnly);
    if (file.write(mark) != mark.size() || file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return {false, error};
    }
    if (!file.commit())
        return {false, file.errorString()};
    return {};
}

TextFileResult writeTextLines(const QString &path, const QStringList &lines, TextEncoding encoding)
{
    // Sized once: growing a text of tens of megabytes step by step copies it over and over.
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 2;
    QString text;
    text.reserve(size);
    for (const QString &line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    return writeTextFile(path, text, encoding);
}
