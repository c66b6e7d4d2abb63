#include "app/shell/AppDeepLink.h"

namespace larkpin {

std::optional<AppDeepLink> AppDeepLink::fromURL(const QUrl& url)
{
    // QUrl already lowers the scheme and the host; comparing without case keeps that an implementation
    // detail.
    if (url.isValid() && url.scheme().compare(u"larkpin", Qt::CaseInsensitive) == 0 &&
        url.host().compare(u"open", Qt::CaseInsensitive) == 0)
        return AppDeepLink(Case::open);
    return std::nullopt;
}

} // namespace larkpin
