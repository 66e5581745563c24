#pragma once

// A signed-out client in a private world: its settings in a fresh
// XDG_CONFIG_HOME, its logs in a fresh app folder, and the reference account
// service over TLS as the account service.

#include "base/global_variables.h"
#include "service/http_manager_internal.h"
#include "service/service_api_internal.h"
#include "support/headless_ui.h"
#include "support/reference_service.h"
#include "support/test_util.h"
#include "vpn/vpn_manager_thread_internal.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace veltra_test {

inline const ServiceAccount kAlice{"alice@example.com", "correct horse", "Premium", "premium", 30};
inline const ServiceAccount kBob{"bob@example.com", "expired plan", "Basic", "basic", -2};
inline const ServiceAccount kCarol{"carol+vpn@example.com", "trial & error", "Trial", "trial", 5};

class ServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        g_setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), TRUE);
        g_mkdir_with_parents(dir_.file("app").c_str(), 0700);
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("app/veltra").c_str());
        ::testing::internal::GetCapturedStdout();
        // The engine's fixed waits, a hundred times shorter.
        vpn_manager_thread_set_time_divisor(100);

        service_ = ReferenceService::start({kAlice, kBob, kCarol},
                                           {
                                               {"198.18.1.1", "Frankfurt", "de", {1194, 1195}, true, {}},
                                               {"198.18.1.2", "Paris", "fr", {443}, false, {"Premium", "Basic"}},
                                               {"198.18.1.3", "Oslo", "no", {1194}, true, {}},
                                           },
                                           {{"127.0.0.0/8", "zz"}});
        ASSERT_TRUE(service_);
        http_manager_base_url_override(service_->base_url().c_str());
        http_manager_ca_file_override(service_->ca_file().c_str());
        install_headless_ui();
        forget_ui_records();
    }

    // Runs what the main loop has pending (the tray's updates).
    static void drain_main_loop() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }

    std::string dev_log() const { return read_file(pelk_global_variable_dev_log_path()); }

    TempDir dir_;
    std::unique_ptr<ReferenceService> service_;
};

}  // namespace veltra_test
