// pelk_view_model_main_lookup_hooks_set, pelk_view_model_main_current_connection: test hooks.
#pragma once

// Test hooks of the main view model.

// Called on a lookup's own thread. connection is the one the lookup was made
// for (0: none); attempt counts the tries of one lookup from 1. A hook may
// block to delay the lookup, or point the transport elsewhere for one try.
struct pelk_view_model_main_lookup_hooks {
    // Before each try's request.
    void (*before_request)(unsigned int connection, int attempt);
    // After a reply with an address arrived, before it is recorded or judged.
    void (*before_answer)(unsigned int connection);
};

// Installs hooks for later lookups (copied); nullptr removes them.
void pelk_view_model_main_lookup_hooks_set(const pelk_view_model_main_lookup_hooks *hooks);

// The connection whose tunnel answers are judged now; 0 when none.
unsigned int pelk_view_model_main_current_connection(void);
