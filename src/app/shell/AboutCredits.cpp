#include "app/shell/AboutCredits.h"

#include <QStringList>

#include <array>

namespace larkpin {
namespace {

struct Component {
    const char* name;
    const char* role;
    const char* licence;
};

// The C++ standard library the build links is the language runtime shipped with the application.
#if defined(_LIBCPP_VERSION)
constexpr Component runtime{"LLVM C++ Standard Library (libc++)", "application language and runtime",
                            "Apache-2.0 with LLVM Exception"};
#else
constexpr Component runtime{"GNU C++ Library (libstdc++)", "application language and runtime",
                            "GPL-3.0 with GCC Runtime Library Exception"};
#endif

// Licences as the Debian packages the application links declare them.
constexpr std::array components{
    runtime,
    Component{"SQLite", "local on-device database", "Public Domain"},
    Component{"Qt", "user interface, tray icon and session bus", "LGPL-3.0 or GPL-2.0 or GPL-3.0"},
    Component{"ICU", "Unicode text handling for code extraction", "Unicode License (Unicode-DFS-2016)"},
    Component{"libcurl", "HTTPS requests to Gmail and Google sign-in", "curl License"},
    Component{"OpenSSL", "TLS and cryptographic hashes", "Apache-2.0"},
    Component{"nlohmann/json", "JSON encoding and decoding", "MIT"},
    Component{"simdjson", "fast JSON parsing of Gmail messages", "Apache-2.0"},
    Component{"libsecret", "refresh tokens in the Secret Service", "LGPL-2.1-or-later"},
    Component{"GLib", "desktop integration and opening the browser", "LGPL-2.1-or-later"},
    Component{"AT-SPI", "recognising and filling verification code fields", "LGPL-2.1-or-later"},
    Component{"QCoro", "coroutines for Qt", "MIT"},
};

} // namespace

QString AboutCredits::text()
{
    QStringList entries;
    for (const auto& component : components)
        entries << QStringLiteral("%1 — %2\n%3")
                       .arg(QString::fromUtf8(component.name), QString::fromUtf8(component.role),
                            QString::fromUtf8(component.licence));
    return QStringLiteral("Open Source Software\n\n") + entries.join(QStringLiteral("\n\n"));
}

} // namespace larkpin
