// Stand-in for the run-file layer: accepts every call and delivers nothing.
#include "dataaccess/dataaccess.hpp"

namespace bantrisk::dataaccess {
struct Session::Impl {};
Session::Session() : impl_(std::make_unique<Impl>()) {}
Session::~Session() = default;
void Session::mf_activate_session(std::string_view, std::int32_t, std::int32_t) {}
void Session::mf_select_source(std::string_view) {}
void Session::mf_get(std::string_view, std::string_view, std::int32_t) {}
void Session::mf_transfer(std::string_view, std::string_view, std::string_view, std::int32_t *,
                          std::int32_t, std::int32_t) {}
void Session::mf_transfer(std::string_view, std::string_view, std::string_view, float *,
                          std::int32_t, std::int32_t) {}
void Session::mf_transfer(std::string_view, std::string_view, std::string_view, double *,
                          std::int32_t, std::int32_t) {}
void Session::mf_release_handle(std::string_view) {}
void Session::mf_deactivate_session() {}
} // namespace bantrisk::dataaccess
