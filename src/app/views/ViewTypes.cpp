#include "app/views/ViewTypes.h"

#include "app/model/AppStore.h"

#include <QQmlEngine>

namespace larkpin {

void registerViewTypes()
{
    static const bool registered = [] {
        constexpr auto uri = "Larkpin.Model";
        const QString reason = QStringLiteral("Owned by the application");
        qmlRegisterUncreatableType<AppStore>(uri, 1, 0, "AppStore", reason);
        qmlRegisterUncreatableType<AccountListModel>(uri, 1, 0, "AccountListModel", reason);
        qmlRegisterUncreatableType<CodeListModel>(uri, 1, 0, "CodeListModel", reason);
        qRegisterMetaType<SuggestionRefreshState>();
        return true;
    }();
    (void)registered;
}

} // namespace larkpin
