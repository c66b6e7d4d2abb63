#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkpin::emulator {

/// Builds the "payload" MIME trees that Gmail serves for a message in full format, with bodies in
/// base64url without padding as Gmail sends them.
class MimePayload {
public:
    /// The shapes an injected message can take. `Raw` means the caller supplies the tree verbatim.
    enum class Structure { Plain, HTML, Alternative, Nested, Raw };
    using Header = std::pair<std::string, std::string>;

    static std::optional<Structure> structureNamed(std::string_view name);

    /// The tree for a generated structure (not `Raw`). `topHeaders` go on the top node, followed by
    /// that node's own Content-Type. A text left empty is derived from the other one where the
    /// structure needs it, so every generated part has content. `seed` (the message id) makes the
    /// boundary and the attachment id.
    static nlohmann::json build(Structure structure, const std::vector<Header>& topHeaders,
                                const std::string& plain, const std::string& html, const std::string& seed);

    static std::string base64URL(std::string_view bytes);
    /// The visible text of a small HTML document: tags dropped, a few entities decoded.
    static std::string plainFromHTML(std::string_view html);
    /// A minimal HTML document showing the text, escaped, with line breaks kept.
    static std::string htmlFromPlain(std::string_view plain);
};

} // namespace larkpin::emulator
