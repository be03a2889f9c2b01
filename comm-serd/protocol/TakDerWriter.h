#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Building blocks for the few DER structures the key file needs. Each returns one complete
// TLV; nest by passing the concatenation of TLVs as content.
class TakDerWriter {
public:
    static constexpr unsigned char kInteger = 0x02;
    static constexpr unsigned char kBitString = 0x03;
    static constexpr unsigned char kOctetString = 0x04;
    static constexpr unsigned char kOid = 0x06;
    static constexpr unsigned char kSequence = 0x30;

    static std::string tlv(unsigned char tag, std::string_view content);
    static std::string sequence(std::string_view content) { return tlv(kSequence, content); }
    static std::string integer(uint64_t value);
    static std::string octetString(std::string_view bytes) { return tlv(kOctetString, bytes); }
    // content: the encoded OID body (without tag and length).
    static std::string oid(std::string_view content) { return tlv(kOid, content); }
    // A BIT STRING with no unused bits.
    static std::string bitString(std::string_view bytes);
    // [n] EXPLICIT, constructed.
    static std::string explicitTag(unsigned int n, std::string_view content);
};
