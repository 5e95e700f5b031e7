#include <arpa/inet.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <string>

#include "mqtt_parts.h"

namespace wex_q40 {

namespace {

constexpr const char *library_name = "libmosquitto.so.1";
constexpr const char *ssl_name = "libssl.so.3";

template <typename Function>
bool find(void *handle, const char *name, Function &slot)
{
    slot = reinterpret_cast<Function>(dlsym(handle, name));
    return slot != nullptr;
}

// What the TLS context needs from libssl and libcrypto, found through libssl's handle.
struct Ssl {
    decltype(&TLS_client_method) client_method = nullptr;
    decltype(&SSL_CTX_new) ctx_new = nullptr;
    decltype(&SSL_CTX_free) ctx_free = nullptr;
    decltype(&SSL_CTX_set_verify) set_verify = nullptr;
    decltype(&SSL_CTX_get_cert_store) cert_store = nullptr;
    decltype(&SSL_CTX_get0_param) param = nullptr;
    decltype(&X509_VERIFY_PARAM_set1_host) set1_host = nullptr;
    decltype(&X509_VERIFY_PARAM_set1_ip) set1_ip = nullptr;
    decltype(&X509_STORE_add_cert) add_cert = nullptr;
    decltype(&X509_free) x509_free = nullptr;
    decltype(&BIO_new_mem_buf) mem_buf = nullptr;
    decltype(&BIO_free) bio_free = nullptr;
    decltype(&PEM_read_bio_X509) read_x509 = nullptr;
    decltype(&ERR_clear_error) clear_error = nullptr;
};

bool load_ssl(void *handle, Ssl &s)
{
    return find(handle, "TLS_client_method", s.client_method) && find(handle, "SSL_CTX_new", s.ctx_new) &&
           find(handle, "SSL_CTX_free", s.ctx_free) && find(handle, "SSL_CTX_set_verify", s.set_verify) &&
           find(handle, "SSL_CTX_get_cert_store", s.cert_store) && find(handle, "SSL_CTX_get0_param", s.param) &&
           find(handle, "X509_VERIFY_PARAM_set1_host", s.set1_host) &&
           find(handle, "X509_VERIFY_PARAM_set1_ip", s.set1_ip) && find(handle, "X509_STORE_add_cert", s.add_cert) &&
           find(handle, "X509_free", s.x509_free) && find(handle, "BIO_new_mem_buf", s.mem_buf) &&
           find(handle, "BIO_free", s.bio_free) && find(handle, "PEM_read_bio_X509", s.read_x509) &&
           find(handle, "ERR_clear_error", s.clear_error);
}

// The number of certificates added.
int add_certificates(const Ssl &s, SSL_CTX *context, const std::string &pem)
{
    BIO *bio = s.mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr)
        return 0;
    int added = 0;
    while (X509 *certificate = s.read_x509(bio, nullptr, nullptr, nullptr)) {
        added += s.add_cert(s.cert_store(context), certificate) == 1 ? 1 : 0;
        s.x509_free(certificate);
    }
    s.bio_free(bio);
    // The end of the text reads as an error.
    s.clear_error();
    return added;
}

// The broker is reached at its looked-up address, so the certificate is checked against the name the operator gave.
bool check_peer_name(const Ssl &s, SSL_CTX *context, const std::string &host)
{
    std::array<unsigned char, sizeof(in6_addr)> address{};
    X509_VERIFY_PARAM *param = s.param(context);
    if (inet_pton(AF_INET, host.c_str(), address.data()) == 1)
        return s.set1_ip(param, address.data(), sizeof(in_addr)) == 1;
    if (inet_pton(AF_INET6, host.c_str(), address.data()) == 1)
        return s.set1_ip(param, address.data(), sizeof(in6_addr)) == 1;
    return s.set1_host(param, host.c_str(), host.size()) == 1;
}

}  // namespace

MqttLibrary::~MqttLibrary()
{
    if (ssl != nullptr)
        dlclose(ssl);
    if (handle != nullptr)
        dlclose(handle);
}

std::string load_mqtt_library(MqttLibrary &l)
{
    l.handle = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
    if (l.handle == nullptr)
        return std::string("cannot load the MQTT library: ") + dlerror();
    const bool all = find(l.handle, "mosquitto_lib_init", l.lib_init) &&
                     find(l.handle, "mosquitto_lib_cleanup", l.lib_cleanup) &&
                     find(l.handle, "mosquitto_new", l.create) && find(l.handle, "mosquitto_destroy", l.destroy) &&
                     find(l.handle, "mosquitto_int_option", l.int_option) &&
                     find(l.handle, "mosquitto_void_option", l.void_option) &&
                     find(l.handle, "mosquitto_username_pw_set", l.username_pw_set) &&
                     find(l.handle, "mosquitto_connect_async", l.connect_async) &&
                     find(l.handle, "mosquitto_loop", l.loop) && find(l.handle, "mosquitto_publish_v5", l.publish) &&
                     find(l.handle, "mosquitto_will_set_v5", l.will_set) &&
                     find(l.handle, "mosquitto_property_add_int32", l.property_add_int32) &&
                     find(l.handle, "mosquitto_property_free_all", l.property_free_all) &&
                     find(l.handle, "mosquitto_disconnect", l.disconnect) &&
                     find(l.handle, "mosquitto_subscribe_multiple", l.subscribe) &&
                     find(l.handle, "mosquitto_unsubscribe_multiple", l.unsubscribe) &&
                     find(l.handle, "mosquitto_message_callback_set", l.message_callback_set) &&
                     find(l.handle, "mosquitto_subscribe_callback_set", l.subscribe_callback_set) &&
                     find(l.handle, "mosquitto_unsubscribe_callback_set", l.unsubscribe_callback_set) &&
                     find(l.handle, "mosquitto_connect_callback_set", l.connect_callback_set) &&
                     find(l.handle, "mosquitto_publish_v5_callback_set", l.publish_callback_set) &&
                     find(l.handle, "mosquitto_disconnect_callback_set", l.disconnect_callback_set) &&
                     find(l.handle, "mosquitto_log_callback_set", l.log_callback_set) &&
                     find(l.handle, "mosquitto_strerror", l.strerror) &&
                     find(l.handle, "mosquitto_connack_string", l.connack_string) &&
                     find(l.handle, "mosquitto_reason_string", l.reason_string);
    if (!all)
        return std::string("cannot load the MQTT library: ") + dlerror();
    return {};
}

void *make_tls_context(MqttLibrary &l, const std::string &pem, const std::string &host, std::string &error)
{
    Ssl s;
    if (l.ssl == nullptr)
        l.ssl = dlopen(ssl_name, RTLD_NOW | RTLD_LOCAL);
    if (l.ssl == nullptr || !load_ssl(l.ssl, s)) {
        error = std::string("cannot load the TLS library: ") + dlerror();
        return nullptr;
    }
    SSL_CTX *context = s.ctx_new(s.client_method());
    if (context == nullptr) {
        error = "cannot make a TLS context";
        return nullptr;
    }
    s.set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (add_certificates(s, context, pem) == 0)
        error = "it holds no PEM certificate";
    else if (!check_peer_name(s, context, host))
        error = "cannot check the broker's certificate against " + host;
    if (!error.empty()) {
        s.ctx_free(context);
        return nullptr;
    }
    return context;
}

void free_tls_context(const MqttLibrary &l, void *context)
{
    Ssl s;
    if (context != nullptr && l.ssl != nullptr && load_ssl(l.ssl, s))
        s.ctx_free(static_cast<SSL_CTX *>(context));
}

}  // namespace wex_q40
