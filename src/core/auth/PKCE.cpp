#include "core/auth/PKCE.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <utility>
#include <vector>

namespace larkpin {
namespace {

// Standard base64 with padding, then the URL-safe alphabet without padding (RFC 7636 appendix A).
std::string base64URLEncoded(const unsigned char* bytes, std::size_t count)
{
    std::string text(4 * ((count + 2) / 3) + 1, '\0'); // EVP_EncodeBlock writes a terminating NUL
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(count));
    text.resize(static_cast<std::size_t>(length));
    std::string urlSafe;
    urlSafe.reserve(text.size());
    for (const char c : text) {
        if (c == '+')
            urlSafe += '-';
        else if (c == '/')
            urlSafe += '_';
        else if (c != '=')
            urlSafe += c;
    }
    return urlSafe;
}

bool isUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

} // namespace

PKCE::Error::Error(Kind kind, const std::string& description, std::int32_t status)
    : std::runtime_error(description)
    , kind_(kind)
    , status_(status)
{
}

PKCE::Error PKCE::Error::randomGenerationFailed(std::int32_t status)
{
    return Error(Kind::randomGenerationFailed,
                 "Secure random generation failed (status " + std::to_string(status) + ").", status);
}

PKCE::Error PKCE::Error::invalidVerifier()
{
    return Error(Kind::invalidVerifier, "The PKCE code verifier is invalid.");
}

PKCE PKCE::generate()
{
    return PKCE(randomURLSafeString(32));
}

std::string PKCE::randomURLSafeString(int byteCount)
{
    if (byteCount < 0)
        throw std::invalid_argument("randomURLSafeString needs a byte count of zero or more");
    std::vector<unsigned char> bytes(static_cast<std::size_t>(byteCount));
    if (byteCount > 0) {
        const int result = RAND_bytes(bytes.data(), byteCount);
        if (result != 1) {
            // OpenSSL's packed error code; the return value (0 or -1) when nothing was queued.
            const unsigned long code = ERR_get_error();
            throw Error::randomGenerationFailed(code != 0 ? static_cast<std::int32_t>(code) : result);
        }
    }
    return base64URLEncoded(bytes.data(), bytes.size());
}

PKCE::PKCE(std::string verifier)
    : verifier_(std::move(verifier))
{
    if (verifier_.size() < 43 || verifier_.size() > 128)
        throw Error::invalidVerifier();
    for (const char c : verifier_)
        if (!isUnreserved(static_cast<unsigned char>(c)))
            throw Error::invalidVerifier();

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(verifier_.data(), verifier_.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 digest failed");
    challenge_ = base64URLEncoded(digest.data(), length);
}

} // namespace larkpin
