#pragma once

#include <QString>

namespace larkpin {

/// The notice of the open-source software the application ships with, shown in its about dialog.
class AboutCredits {
public:
    /// "Open Source Software", an empty line, then one entry per component ("Name — role", then its
    /// licence), entries separated by an empty line.
    static QString text();
};

} // namespace larkpin
