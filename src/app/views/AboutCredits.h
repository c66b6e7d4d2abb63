#pragma once

#include <QString>

namespace larkpin {

/// The notices of the open-source software Larkpin ships with, as the about dialog shows them.
QString aboutCreditsText();

} // namespace larkpin
