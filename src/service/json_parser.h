// pelk_json_*: readers of the account service's reply documents.
#pragma once

// Readers of the account service's reply documents. They are pure: text in,
// record out, no I/O and no logging; the reply handlers log and hand the
// results on. Every text they return is new (free()) and may be NULL
// ("none"); no reader reads outside the body it is given.
//
// The sign-in and server-list replies are read by a key scanner that cuts
// the body at commas and looks for member names in each piece; it relies on
// compact members ("name":value) and string values without quotes, commas
// or escapes. The public-IP and port replies are read by position from the
// token list of a JSON tokenizer (room for 256 tokens).

struct server_entity_container;

// The sign-in reply. Texts are owned by whoever keeps the record.
struct pelk_json_authentication {
    char *expiry_date;        // "expiry_date", or NULL
    int expiry_date_in_days;  // "expiry_date_in_days", or 0
    int reserved;             // always 0
    int error_code;           // "error_code", or -1 (also when it is not a number)
    char *plan_name;          // "plan_name", or NULL
    char *plan_key;           // "plan_key", or NULL
    char *valid_servers;      // "valid_servers", or NULL
};

// Reads a sign-in reply; NULL or an empty body gives the defaults (error
// code -1).
pelk_json_authentication pelk_json_parse_authentication(const char *body);

// valid_servers is exactly "all". False for NULL.
bool pelk_json_authentication_is_all_servers(const pelk_json_authentication *authentication);

// plan_key is exactly "trial". False for NULL.
bool pelk_json_authentication_is_trial(const pelk_json_authentication *authentication);

// Releases the record's texts and sets them to NULL; the numbers stay.
void pelk_json_authentication_clear(pelk_json_authentication *authentication);

// New server list (server_entity_container_free()) in document order, or
// NULL when one server object lacks its address, name or country code. A
// body without any "}" ("[]", "", NULL) gives an empty list.
server_entity_container *pelk_json_parse_server_list(const char *body);

// position points at the member name inside a NUL-terminated piece. Skips
// the name, its closing quote and the colon, and returns a new copy of the
// string value behind them. NULL when the value does not start with a
// quote, has no closing quote before the end of the piece, or is 500
// characters or longer (it would not fit the 500-byte work text, and a cut
// value would be a wrong one).
char *get_string_value(const char *name, const char *position);

// Like get_string_value, for a decimal integer: leading white space, an
// optional sign, digits up to the first non-digit. No digits give 0; a
// value beyond the 32-bit range is held at INT_MIN or INT_MAX.
int get_int_value(const char *name, const char *position);

// Tokenizer results below are jsmn_parse results: the number of tokens
// (> 0), 0 for a text without tokens, -1 too many tokens, -2 an invalid
// character, -3 the text ends inside a token.

// The "remote_address" reply: token 2 is the public IP address and token 4
// its country code, each when it exists and is a string.
struct pelk_json_public_ip {
    int parse_result;
    // NULL when the body could not be tokenised, the token is missing, is
    // not a string, or is 500 bytes or longer.
    char *ip_address;
    char *country_code;
};

pelk_json_public_ip pelk_json_read_public_ip(const char *body);

// Releases the two texts and sets them to NULL.
void pelk_json_public_ip_clear(pelk_json_public_ip *public_ip);

// One token of a port reply, for its log line.
struct pelk_json_port_token {
    // New text: the token as written in the body, cut (at a UTF-8 character
    // boundary) so that its log line fits a 500-byte work text.
    char *text;
    bool is_primitive;  // counted as a port
};

// The "port_numbers" reply: every primitive token (number, true, false,
// null) is one port, in document order.
struct pelk_json_server_ports {
    int parse_result;
    // Every token when parse_result > 0; otherwise NULL and 0.
    pelk_json_port_token *tokens;
    int tokens_count;
    // malloc'd array of ports_count ports, never NULL when parse_result > 0
    // (even with no port, so that an empty list can still be handed on).
    // Each is the decimal conversion of the token's text; true, false and
    // null give 0, values beyond the 32-bit range are held at its ends.
    int *ports;
    int ports_count;
};

pelk_json_server_ports pelk_json_read_server_ports(const char *body);

// Hands the port array over: the caller owns it (free()) and the record no
// longer refers to it; ports_count stays.
int *pelk_json_server_ports_take_ports(pelk_json_server_ports *server_ports);

// Releases everything the record still owns and empties it.
void pelk_json_server_ports_clear(pelk_json_server_ports *server_ports);

// New text: "i = <index>, token_iteration= 0, token = <text>\n", at most 499
// characters; an over-long text is cut, the line end is always kept.
char *pelk_json_port_token_log_line_new(int index, const char *text);

// New text: the log text of a tokenizer result that is not a token count:
// "JSMN_ERROR_NOMEM\n", "JSMN_ERROR_INVAL\n", "JSMN_ERROR_PART\n", or
// "Unknown code: <result>" for any other value (0 for an empty body).
char *pelk_json_parse_result_text_new(int result);
