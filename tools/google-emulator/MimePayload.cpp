#include "MimePayload.h"

#include <array>

namespace larkpin::emulator {

namespace {

using nlohmann::json;

json headerList(const std::vector<MimePayload::Header>& headers) {
    json list = json::array();
    for (const auto& [name, value] : headers)
        list.push_back({{"name", name}, {"value", value}});
    return list;
}

json textBody(const std::string& text) {
    // Gmail leaves "data" out of an empty body.
    if (text.empty())
        return {{"size", 0}};
    return {{"size", text.size()}, {"data", MimePayload::base64URL(text)}};
}

json textPart(const std::string& partId, const std::string& mimeType, const std::string& text,
              std::vector<MimePayload::Header> headers) {
    headers.emplace_back("Content-Type", mimeType + "; charset=\"UTF-8\"");
    headers.emplace_back("Content-Transfer-Encoding", "quoted-printable");
    return {{"partId", partId},
            {"mimeType", mimeType},
            {"filename", ""},
            {"headers", headerList(headers)},
            {"body", textBody(text)}};
}

json multipart(const std::string& partId, const std::string& subtype, const std::string& boundary,
               std::vector<MimePayload::Header> headers, json parts) {
    headers.emplace_back("Content-Type", "multipart/" + subtype + "; boundary=\"" + boundary + "\"");
    return {{"partId", partId},      {"mimeType", "multipart/" + subtype},
            {"filename", ""},        {"headers", headerList(headers)},
            {"body", {{"size", 0}}}, {"parts", std::move(parts)}};
}

json attachment(const std::string& partId, const std::string& seed) {
    const std::string filename = "receipt.pdf";
    const std::vector<MimePayload::Header> headers = {
        {"Content-Type", "application/pdf; name=\"" + filename + "\""},
        {"Content-Disposition", "attachment; filename=\"" + filename + "\""},
        {"Content-Transfer-Encoding", "base64"},
        {"X-Attachment-Id", "f_" + seed},
    };
    // Gmail serves attachments by reference only: an id to fetch them with, and their size.
    return {{"partId", partId},
            {"mimeType", "application/pdf"},
            {"filename", filename},
            {"headers", headerList(headers)},
            {"body",
             {{"attachmentId", "ANGjdJ8" + MimePayload::base64URL("attachment-" + seed)}, {"size", 24576}}}};
}

} // namespace

std::optional<MimePayload::Structure> MimePayload::structureNamed(std::string_view name) {
    if (name == "plain")
        return Structure::Plain;
    if (name == "html")
        return Structure::HTML;
    if (name == "alternative")
        return Structure::Alternative;
    if (name == "nested")
        return Structure::Nested;
    if (name == "raw")
        return Structure::Raw;
    return std::nullopt;
}

json MimePayload::build(Structure structure, const std::vector<Header>& topHeaders, const std::string& plain,
                        const std::string& html, const std::string& seed) {
    const std::string plainText = plain.empty() && !html.empty() ? plainFromHTML(html) : plain;
    const std::string htmlText = html.empty() ? htmlFromPlain(plain) : html;
    const std::string boundary = "000000000000" + seed;
    switch (structure) {
    case Structure::Plain:
        return textPart("", "text/plain", plainText, topHeaders);
    case Structure::HTML:
        return textPart("", "text/html", htmlText, topHeaders);
    case Structure::Alternative:
        return multipart("", "alternative", boundary, topHeaders,
                         json::array({textPart("0", "text/plain", plainText, {}),
                                      textPart("1", "text/html", htmlText, {})}));
    case Structure::Nested: {
        json alternative = multipart("0", "alternative", boundary + "a", {},
                                     json::array({textPart("0.0", "text/plain", plainText, {}),
                                                  textPart("0.1", "text/html", htmlText, {})}));
        return multipart("", "mixed", boundary + "m", topHeaders,
                         json::array({std::move(alternative), attachment("1", seed)}));
    }
    case Structure::Raw:
        break;
    }
    return nullptr;
}

std::string MimePayload::base64URL(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto n = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    const auto rest = bytes.size() - i;
    if (rest == 1) {
        const auto n = static_cast<unsigned char>(bytes[i]) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
    } else if (rest == 2) {
        const auto n =
            (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
    }
    return out;
}

std::string MimePayload::plainFromHTML(std::string_view html) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> entities = {{
        {"&amp;", "&"},
        {"&lt;", "<"},
        {"&gt;", ">"},
        {"&quot;", "\""},
        {"&#39;", "'"},
        {"&nbsp;", " "},
    }};
    std::string out;
    bool inTag = false;
    for (std::size_t i = 0; i < html.size(); ++i) {
        const char c = html[i];
        if (inTag) {
            inTag = c != '>';
            continue;
        }
        if (c == '<') {
            inTag = true;
            continue;
        }
        if (c == '&') {
            bool decoded = false;
            for (const auto& [entity, text] : entities) {
                if (html.substr(i, entity.size()) == entity) {
                    out += text;
                    i += entity.size() - 1;
                    decoded = true;
                    break;
                }
            }
            if (decoded)
                continue;
        }
        out += c;
    }
    return out;
}

std::string MimePayload::htmlFromPlain(std::string_view plain) {
    std::string out = "<html><body><p>";
    for (const char c : plain) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "<br>\n";
            break;
        default:
            out += c;
        }
    }
    return out + "</p></body></html>";
}

} // namespace larkpin::emulator
