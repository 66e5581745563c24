#include "account_documents.h"

#include <cstdio>

namespace {

// Stored texts are checked on the way in and need no escaping; a database
// edited by hand still yields valid JSON.
void append_string(std::string *out, const std::string &text) {
    out->push_back('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\' || c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out->append(escaped);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

void append_member(std::string *out, const char *name, const std::string &value) {
    if (out->back() != '{') {
        out->push_back(',');
    }
    append_string(out, name);
    out->push_back(':');
    append_string(out, value);
}

void append_member(std::string *out, const char *name, long long value) {
    if (out->back() != '{') {
        out->push_back(',');
    }
    append_string(out, name);
    out->push_back(':');
    out->append(std::to_string(value));
}

void append_member(std::string *out, const char *name, bool value) {
    if (out->back() != '{') {
        out->push_back(',');
    }
    append_string(out, name);
    out->push_back(':');
    out->append(value ? "true" : "false");
}

const char document_end[] = "\r\n";

}  // namespace

std::string account_documents_error(int error_code) {
    std::string out = "{";
    append_member(&out, "error_code", static_cast<long long>(error_code));
    return out + "}" + document_end;
}

std::string account_documents_failure(const std::string &message) {
    std::string out = "{";
    append_member(&out, "error", message);
    return out + "}" + document_end;
}

std::string account_documents_valid_servers(const account_record &account) {
    if (account.all_servers) {
        return "all";
    }
    std::string out;
    const size_t count = account.server_addresses.size();
    for (size_t i = 0; i < count; ++i) {
        const std::string &address = account.server_addresses[i];
        const size_t separator = out.empty() ? 0 : 1;
        const size_t left_after = count - i - 1;
        // Room is kept for the " +N" that a later cut would need.
        const size_t tail = left_after == 0 ? 0 : 2 + std::to_string(left_after).size();
        if (out.size() + separator + address.size() + tail > ACCOUNT_DOCUMENTS_MAX_VALUE) {
            out += (out.empty() ? "+" : " +") + std::to_string(count - i);
            return out;
        }
        if (separator) {
            out.push_back(' ');
        }
        out += address;
    }
    return out;
}

std::string account_documents_authentication(const account_record &account) {
    std::string out = "{";
    append_member(&out, "error_code", 0LL);
    append_member(&out, "expiry_date", account.expiry_date);
    append_member(&out, "expiry_date_in_days", static_cast<long long>(account.expiry_date_in_days));
    append_member(&out, "plan_name", account.plan_name);
    append_member(&out, "plan_key", account.plan_key);
    append_member(&out, "valid_servers", account_documents_valid_servers(account));
    return out + "}" + document_end;
}

std::string account_documents_plan_and_expiry(const account_record &account) {
    std::string out = "{";
    append_member(&out, "error_code", 0LL);
    append_member(&out, "plan_name", account.plan_name);
    append_member(&out, "plan_key", account.plan_key);
    append_member(&out, "expiry_date", account.expiry_date);
    append_member(&out, "expiry_date_in_days", static_cast<long long>(account.expiry_date_in_days));
    return out + "}" + document_end;
}

std::string account_documents_user_name(const account_record &account) {
    std::string out = "{";
    append_member(&out, "error_code", 0LL);
    append_member(&out, "user_name", account.email);
    return out + "}" + document_end;
}

std::string account_documents_server_list(const std::vector<account_server_entry> &servers) {
    std::string out = "[";
    for (const account_server_entry &server : servers) {
        if (out.size() > 1) {
            out.push_back(',');
        }
        out.push_back('{');
        // "id" first: its piece is the one the client passes over.
        append_member(&out, "id", server.id);
        append_member(&out, "server_address", server.address);
        append_member(&out, "server_name", server.name);
        append_member(&out, "country_code", server.country_code);
        append_member(&out, "is_enabled", server.enabled);
        out.push_back('}');
    }
    return out + "]" + document_end;
}

std::string account_documents_ports(const std::vector<int> &ports) {
    std::string out = "[";
    for (int port : ports) {
        if (out.size() > 1) {
            out.push_back(',');
        }
        out += std::to_string(port);
    }
    return out + "]" + document_end;
}

std::string account_documents_remote_address(const std::string &ip, const std::string &country_code) {
    std::string out = "{";
    append_member(&out, "ip", ip);
    append_member(&out, "country_code", country_code);
    return out + "}" + document_end;
}
