#include "engine/nat/stun_message.h"

#include <arpa/inet.h>

#include <cstring>

namespace tessali::nat {
namespace {

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v));
}

void PutAddress(std::vector<uint8_t>& out, uint16_t type, const StunAddress& a) {
    Put16(out, type);
    Put16(out, 8);
    out.push_back(0);
    out.push_back(1);
    Put16(out, a.port);
    const auto* b = reinterpret_cast<const uint8_t*>(&a.address);
    out.insert(out.end(), b, b + 4);
}

void SetBodyLength(std::vector<uint8_t>& msg) {
    uint16_t len = static_cast<uint16_t>(msg.size() - kStunHeaderBytes);
    msg[2] = static_cast<uint8_t>(len >> 8);
    msg[3] = static_cast<uint8_t>(len);
}

std::vector<uint8_t> Header(uint16_t type, const StunTransactionId& id) {
    std::vector<uint8_t> msg;
    Put16(msg, type);
    Put16(msg, 0);
    msg.insert(msg.end(), id.begin(), id.end());
    return msg;
}

bool ParseAddress(const uint8_t* p, uint16_t len, StunAddress& out, std::ostream& diag) {
    if (len != 8) {
        // An IPv6 address would be 20 bytes; only IPv4 is understood.
        diag << "hdrLen wrong for Address" << '\n';
        return false;
    }
    uint8_t family = p[1];
    if (family == 2) {
        diag << "ipv6 not supported" << '\n';
        return false;
    }
    if (family != 1) {
        diag << "bad address family: " << static_cast<int>(family) << '\n';
        return false;
    }
    out.present = true;
    out.port = Read16(p + 2);
    std::memcpy(&out.address, p + 4, 4);
    return true;
}

bool ParseString(const uint8_t* p, uint16_t len, std::string& out, std::ostream& diag) {
    if (len >= kStunMaxString || len % 4 != 0) {
        diag << "Bad length string " << len << '\n';
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), len);
    return true;
}

bool ParseErrorCode(const uint8_t* p, uint16_t len, StunMessage& out) {
    if (len < 4 || static_cast<size_t>(len - 4) >= kStunMaxString) {
        return false;
    }
    out.hasError = true;
    out.errorCode = static_cast<uint16_t>((p[2] & 0x7) * 100 + p[3]);
    out.errorReason.assign(reinterpret_cast<const char*>(p + 4), len - 4);
    return true;
}

bool ParseUnknown(const uint8_t* p, uint16_t len, StunMessage& out) {
    if (len % 2 != 0 || len > 2 * 8) {
        return false;
    }
    // A repeated attribute replaces the earlier one, as for every other attribute: the list
    // stays within its eight entries whatever the answer holds.
    out.unknownAttributes.clear();
    for (uint16_t i = 0; i < len; i += 2) {
        out.unknownAttributes.push_back(Read16(p + i));
    }
    return true;
}

// XOR-MAPPED-ADDRESS carries the port xored with the top 16 bits of the transaction ID's first
// word and the address with that whole word (the classic server's convention).
bool ParseXorAddress(const uint8_t* p, uint16_t len, const StunTransactionId& id, StunAddress& out,
                     std::ostream& diag) {
    if (!ParseAddress(p, len, out, diag)) {
        return false;
    }
    out.port ^= static_cast<uint16_t>((id[0] << 8) | id[1]);
    uint32_t mask;
    std::memcpy(&mask, id.data(), 4);
    out.address ^= mask;
    return true;
}

}  // namespace

std::vector<uint8_t> EncodeBindingRequest(const StunTransactionId& id, uint32_t changeFlags) {
    std::vector<uint8_t> msg = Header(kStunBindingRequest, id);
    Put16(msg, kAttrChangeRequest);
    Put16(msg, 4);
    Put32(msg, changeFlags);
    SetBodyLength(msg);
    return msg;
}

std::vector<uint8_t> EncodeBindingResponse(const StunMessage& m) {
    std::vector<uint8_t> msg = Header(kStunBindingResponse, m.id);
    if (m.mapped.present) {
        PutAddress(msg, kAttrMappedAddress, m.mapped);
    }
    if (m.source.present) {
        PutAddress(msg, kAttrSourceAddress, m.source);
    }
    if (m.changed.present) {
        PutAddress(msg, kAttrChangedAddress, m.changed);
    }
    SetBodyLength(msg);
    return msg;
}

bool ParseStunMessage(std::span<const uint8_t> bytes, StunMessage& out, std::ostream& diag) {
    out = StunMessage{};
    if (bytes.size() < kStunHeaderBytes) {
        return false;
    }
    const uint8_t* p = bytes.data();
    out.type = Read16(p);
    uint16_t bodyLen = Read16(p + 2);
    std::memcpy(out.id.data(), p + 4, 16);
    if (static_cast<size_t>(bodyLen) + kStunHeaderBytes != bytes.size()) {
        diag << "Message header length doesn't match message size: " << bodyLen << " - " << bytes.size()
             << '\n';
        return false;
    }
    const uint8_t* body = p + kStunHeaderBytes;
    size_t left = bodyLen;
    while (left > 0) {
        if (left < 4) {
            // A trailing fragment too short for an attribute header.
            diag << "claims attribute is larger than size of message "
                 << "(attribute type=?)" << '\n';
            return false;
        }
        uint16_t type = Read16(body);
        uint16_t len = Read16(body + 2);
        body += 4;
        left -= 4;
        if (len > left) {
            diag << "claims attribute is larger than size of message "
                 << "(attribute type=" << type << ")" << '\n';
            return false;
        }
        switch (type) {
            case kAttrMappedAddress:
                if (!ParseAddress(body, len, out.mapped, diag)) {
                    return false;
                }
                break;
            case kAttrResponseAddress:
                if (!ParseAddress(body, len, out.responseAddress, diag)) {
                    return false;
                }
                break;
            case kAttrChangeRequest:
                if (len != 4) {
                    diag << "Incorrect size for ChangeRequest" << '\n';
                    diag << "problem parsing ChangeRequest" << '\n';
                    return false;
                }
                out.hasChangeRequest = true;
                out.changeRequest = (static_cast<uint32_t>(Read16(body)) << 16) | Read16(body + 2);
                break;
            case kAttrSourceAddress:
                if (!ParseAddress(body, len, out.source, diag)) {
                    diag << "problem parsing SourceAddress" << '\n';
                    return false;
                }
                break;
            case kAttrChangedAddress:
                if (!ParseAddress(body, len, out.changed, diag)) {
                    diag << "problem parsing ChangedAddress" << '\n';
                    return false;
                }
                break;
            case kAttrUsername:
                if (!ParseString(body, len, out.username, diag)) {
                    diag << "problem parsing Username" << '\n';
                    return false;
                }
                break;
            case kAttrPassword:
                if (!ParseString(body, len, out.password, diag)) {
                    return false;
                }
                break;
            case kAttrMessageIntegrity:
                if (len != 20) {
                    diag << "MessageIntegrity must be 20 bytes" << '\n';
                    diag << "problem parsing MessageIntegrity" << '\n';
                    return false;
                }
                out.hasIntegrity = true;
                std::memcpy(out.integrity.data(), body, 20);
                break;
            case kAttrErrorCode:
                if (!ParseErrorCode(body, len, out)) {
                    diag << "problem parsing ErrorCode" << '\n';
                    return false;
                }
                break;
            case kAttrUnknownAttributes:
                if (!ParseUnknown(body, len, out)) {
                    diag << "problem parsing UnknownAttribute" << '\n';
                    return false;
                }
                break;
            case kAttrReflectedFrom:
                if (!ParseAddress(body, len, out.reflectedFrom, diag)) {
                    return false;
                }
                break;
            case kAttrXorMappedAddress:
                if (!ParseXorAddress(body, len, out.id, out.xorMapped, diag)) {
                    diag << "problem parsing XorMappedAddress" << '\n';
                    return false;
                }
                break;
            case kAttrSecondaryAddress:
                if (!ParseAddress(body, len, out.secondary, diag)) {
                    diag << "problem parsing secondaryAddress" << '\n';
                    return false;
                }
                break;
            default:
                // Attributes this side does not use are skipped.
                break;
        }
        body += len;
        left -= len;
    }
    return true;
}

}  // namespace tessali::nat
