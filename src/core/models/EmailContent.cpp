#include "core/models/EmailContent.h"

#include "core/support/HashCombine.h"

std::size_t std::hash<larkpin::EmailContent>::operator()(const larkpin::EmailContent& content) const noexcept
{
    using larkpin::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, content.subject);
    hashCombine(seed, content.sender);
    hashCombine(seed, content.plainText);
    hashCombine(seed, content.htmlText);
    hashCombine(seed, content.receivedAt.time_since_epoch().count());
    hashCombine(seed, content.messageID);
    hashCombine(seed, content.accountEmail);
    return seed;
}
