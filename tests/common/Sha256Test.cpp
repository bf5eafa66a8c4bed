#include "common/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string HexOf(const std::string& text)
{
    return Sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

// The published test vectors, and the lengths around the padding's edges (55, 56 and
// 64 bytes), where a wrong length block or a missed extra block shows.
TEST(Sha256Test, KnownDigests)
{
    EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(HexOf(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(HexOf(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(HexOf(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(HexOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Fed in pieces of every size, the digest is the one of the whole.
TEST(Sha256Test, PiecesGiveTheDigestOfTheWhole)
{
    std::vector<std::uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string whole = Sha256Hex(data.data(), data.size());
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 129u}) {
        Sha256 sha;
        for (std::size_t at = 0; at < data.size(); at += piece)
            sha.Update(data.data() + at, std::min(piece, data.size() - at));
        std::string hex;
        for (std::uint8_t byte : sha.Final()) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", byte);
            hex += two;
        }
        EXPECT_EQ(hex, whole) << "pieces of " << piece;
    }
}
