#pragma once

#include "account_store.h"

#include <string>
#include <vector>

// Reply documents of the reference service. Each is compact JSON ending in
// "\r\n" and is sent in one piece.
//
// The client reads "authentication" and "server_list" by cutting the body at
// commas and looking for member names in each piece, so members are written
// without white space, string values carry no comma, and every server object
// starts with its "id" member.

// The longest string value the client's readers take.
inline constexpr size_t ACCOUNT_DOCUMENTS_MAX_VALUE = 499;
// The client reads port documents into a buffer of this size.
inline constexpr size_t ACCOUNT_DOCUMENTS_MAX_PORTS_DOCUMENT = 459;

// {"error_code":N}
std::string account_documents_error(int error_code);
// {"error":"message"}: what a refused request (400, 404, 405, 500) carries.
std::string account_documents_failure(const std::string &message);

std::string account_documents_authentication(const account_record &account);
std::string account_documents_plan_and_expiry(const account_record &account);
std::string account_documents_user_name(const account_record &account);
std::string account_documents_server_list(const std::vector<account_server_entry> &servers);
std::string account_documents_ports(const std::vector<int> &ports);
std::string account_documents_remote_address(const std::string &ip, const std::string &country_code);

// "all", or the covered addresses separated by spaces. A list too long for
// one value ends after the last address that fits with " +N", N the number
// of addresses left out.
std::string account_documents_valid_servers(const account_record &account);
