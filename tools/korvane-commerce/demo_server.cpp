#include "demo_server.hpp"

#include <korvane/core/fetcher.hpp>

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <sys/socket.h>
#include <sstream>
#include <stdexcept>
#include <chrono>
#include <thread>
#include <unordered_map>

namespace korvane::cli {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct CertFree {
  void operator()(X509* p) const noexcept { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const noexcept { BIO_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("demo certificate: ") + what); }

void add_extension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) fail("cannot make an extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A self-signed certificate for `hosts`, valid for a day.
std::pair<Cert, Key> make_certificate(const std::vector<std::string>& hosts) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) fail("cannot make a key");
  Cert cert(X509_new());
  if (!cert) fail("cannot make a certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("korvane-commerce demo"),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  std::string names = "IP:127.0.0.1";
  for (const auto& host : hosts) names += ",DNS:" + host;
  add_extension(cert.get(), NID_subject_alt_name, names);
  add_extension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
  add_extension(cert.get(), NID_ext_key_usage, "serverAuth");
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) fail("cannot sign");
  return {std::move(cert), std::move(key)};
}

std::string certificate_pem_of(X509* cert) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string public_key_hash_of(X509* cert) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  if (length <= 0) fail("cannot encode the public key");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  EVP_Digest(der, static_cast<std::size_t>(length), digest, &digest_length, EVP_sha256(), nullptr);
  OPENSSL_free(der);
  std::string out(4 * ((digest_length + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest, static_cast<int>(digest_length));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

struct DemoServer::Impl {
  std::pair<Cert, Key> credentials;
  std::string pem;
  std::string key_hash;
  std::unordered_map<std::string, core::SavedPage> pages;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  int port = 0;
};

DemoServer::DemoServer(const std::filesystem::path& folder, const std::vector<std::string>& hosts)
    : impl_(std::make_unique<Impl>()) {
  impl_->pages = core::read_page_manifest(folder);
  impl_->credentials = make_certificate(hosts);
  impl_->pem = certificate_pem_of(impl_->credentials.first.get());
  impl_->key_hash = public_key_hash_of(impl_->credentials.first.get());
  impl_->server = std::make_unique<httplib::SSLServer>(impl_->credentials.first.get(), impl_->credentials.second.get());
  if (!impl_->server->is_valid()) throw std::runtime_error("the demo server cannot use its certificate");
  impl_->server->set_tcp_nodelay(true);
  // Clients keep connections open; each holds a worker while it does.
  impl_->server->new_task_queue = [] { return new httplib::ThreadPool(64); };
  impl_->server->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string link = "https://" + req.get_header_value("Host") + req.target;
    const auto it = impl_->pages.find(link);
    if (it == impl_->pages.end()) {
      res.status = 404;
      res.set_content("<html><body>Not found</body></html>", "text/html");
      return;
    }
    const std::string type = it->second.content_type.empty() ? "text/html" : it->second.content_type;
    res.set_content(read_file(it->second.file), type);
  });
  // The library listens with a backlog of 5: a burst of connections would
  // lose SYNs and wait a second for their retransmission. Keep the listening
  // socket to widen its backlog once bound.
  int listening_socket = -1;
  impl_->server->set_socket_options([&listening_socket](int fd) {
    listening_socket = fd;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  impl_->port = impl_->server->bind_to_any_port("127.0.0.1");
  if (impl_->port <= 0) throw std::runtime_error("the demo server cannot bind a loopback port");
  if (listening_socket >= 0) ::listen(listening_socket, 256);
  impl_->thread = std::thread([this] { impl_->server->listen_after_bind(); });
  for (int i = 0; i < 500 && !impl_->server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

DemoServer::~DemoServer() {
  impl_->server->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int DemoServer::port() const noexcept { return impl_->port; }
const std::string& DemoServer::certificate_pem() const noexcept { return impl_->pem; }
const std::string& DemoServer::public_key_hash() const noexcept { return impl_->key_hash; }

}  // namespace korvane::cli
