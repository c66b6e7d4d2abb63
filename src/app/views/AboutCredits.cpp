#include "app/views/AboutCredits.h"

namespace larkpin {

// Placeholder until the application shell supplies the full list of linked libraries.
QString aboutCreditsText()
{
    return QStringLiteral("Open Source Software\n\n"
                          "SQLite \u2014 local on-device database\n"
                          "Public Domain");
}

} // namespace larkpin
