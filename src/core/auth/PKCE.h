#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace larkpin {

/// An RFC 7636 proof key: a random code verifier and its S256 challenge. Also the source of the
/// random URL-safe strings the authorization flow uses as verifier and as `state`.
class PKCE {
public:
    class Error : public std::runtime_error {
    public:
        enum class Kind { randomGenerationFailed, invalidVerifier };

        /// `status`: the random generator's error code.
        static Error randomGenerationFailed(std::int32_t status);
        static Error invalidVerifier();

        Kind kind() const { return kind_; }
        std::int32_t status() const { return status_; }

        friend bool operator==(const Error& a, const Error& b)
        {
            return a.kind_ == b.kind_ && a.status_ == b.status_;
        }

    private:
        Error(Kind kind, const std::string& description, std::int32_t status = 0);
        Kind kind_;
        std::int32_t status_;
    };

    /// A fresh verifier of 32 random bytes (43 characters) and its challenge.
    static PKCE generate();

    /// `byteCount` secure random bytes as unpadded base64url: 43 characters for 32 bytes, empty for
    /// 0. Throws Error (randomGenerationFailed), or std::invalid_argument for a negative count.
    static std::string randomURLSafeString(int byteCount);

    /// Checks the verifier (43 to 128 of A-Z a-z 0-9 - . _ ~) and derives its challenge.
    /// Throws Error (invalidVerifier); the verifier itself never appears in the error.
    explicit PKCE(std::string verifier);

    const std::string& verifier() const { return verifier_; }
    /// Unpadded base64url of the SHA-256 of the verifier: always 43 characters.
    const std::string& challenge() const { return challenge_; }

    friend bool operator==(const PKCE&, const PKCE&) = default;

private:
    std::string verifier_;
    std::string challenge_;
};

} // namespace larkpin
