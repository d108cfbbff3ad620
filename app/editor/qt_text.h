#pragma once

// The program keeps its texts as UTF-8 std::string; Qt widgets take QString.

#include <QString>
#include <string>
#include <string_view>

namespace veltrane {

inline QString ToQString(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline std::string FromQString(const QString& text)
{
    return text.toStdString();
}

} // namespace veltrane
