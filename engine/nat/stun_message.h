// Classic STUN messages: the Binding Request the NAT-type test sends and the parser of the
// answers. Layout: a 20-byte header (type 16 bits, body length 16 bits, transaction ID 16 bytes)
// then attributes, each type 16 bits, length 16 bits, value; all big-endian. Address values are
// 8 bytes: pad, family (1 = IPv4), port, address. The parser never reads outside its buffer and
// writes its diagnostics to the stream it is given. Stateless; safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace tessali::nat {

constexpr size_t kStunHeaderBytes = 20;
constexpr size_t kStunMaxString = 256;  // USERNAME, PASSWORD and the error reason
constexpr uint16_t kStunBindingRequest = 0x0001;
constexpr uint16_t kStunBindingResponse = 0x0101;
constexpr uint16_t kStunBindingErrorResponse = 0x0111;

enum StunAttribute : uint16_t {
    kAttrMappedAddress = 0x0001,
    kAttrResponseAddress = 0x0002,
    kAttrChangeRequest = 0x0003,
    kAttrSourceAddress = 0x0004,
    kAttrChangedAddress = 0x0005,
    kAttrUsername = 0x0006,
    kAttrPassword = 0x0007,
    kAttrMessageIntegrity = 0x0008,
    kAttrErrorCode = 0x0009,
    kAttrUnknownAttributes = 0x000A,
    kAttrReflectedFrom = 0x000B,
    kAttrXorMappedAddress = 0x8020,
    kAttrSecondaryAddress = 0x8050,
};

constexpr uint32_t kChangeIpFlag = 0x04;
constexpr uint32_t kChangePortFlag = 0x02;

using StunTransactionId = std::array<uint8_t, 16>;

struct StunAddress {
    bool present = false;
    uint16_t port = 0;     // host order
    uint32_t address = 0;  // network order
};

struct StunMessage {
    uint16_t type = 0;
    StunTransactionId id{};
    StunAddress mapped, responseAddress, source, changed, reflectedFrom, xorMapped, secondary;
    bool hasChangeRequest = false;
    uint32_t changeRequest = 0;
    std::string username, password;
    bool hasIntegrity = false;
    std::array<uint8_t, 20> integrity{};
    bool hasError = false;
    uint16_t errorCode = 0;  // class * 100 + number
    std::string errorReason;
    std::vector<uint16_t> unknownAttributes;
};

// A Binding Request carrying one CHANGE-REQUEST attribute with `changeFlags`.
std::vector<uint8_t> EncodeBindingRequest(const StunTransactionId& id, uint32_t changeFlags);
// An answer as a server writes it (tests and fakes): MAPPED-ADDRESS, SOURCE-ADDRESS and
// CHANGED-ADDRESS when present in `message`.
std::vector<uint8_t> EncodeBindingResponse(const StunMessage& message);

// Parses `bytes` into `out`; false (with a diagnostic line on `diag`) when it does not parse.
bool ParseStunMessage(std::span<const uint8_t> bytes, StunMessage& out, std::ostream& diag);

}  // namespace tessali::nat
