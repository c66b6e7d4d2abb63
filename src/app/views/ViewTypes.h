#pragma once

namespace larkpin {

/// Makes the model's types known to QML (module "Larkpin.Model"): the store, its list models and
/// the suggestion refresh state. Idempotent.
void registerViewTypes();

} // namespace larkpin
