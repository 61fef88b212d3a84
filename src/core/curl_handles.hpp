// Owning handles for libcurl objects, and setters that turn a refused
// option into an exception.
#pragma once

#include <korvane/errors.hpp>

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

namespace korvane::core::detail {

struct EasyCleanup {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct SlistCleanup {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistCleanup>;

struct UrlCleanup {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

struct CurlFree {
  void operator()(char* text) const noexcept { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlFree>;

// A string list holding copies of `items`; null for no items.
inline Slist make_slist(const std::vector<std::string>& items) {
  Slist list;
  for (const std::string& item : items) {
    curl_slist* const longer = curl_slist_append(list.get(), item.c_str());
    if (longer == nullptr) throw FetchError("libcurl cannot allocate a header list");
    (void)list.release();
    list.reset(longer);
  }
  return list;
}

// Sets an option of a transfer; throws FetchError when libcurl refuses it
// (an option this libcurl was built without, say).
template <class Value>
void set_easy_option(CURL* easy, CURLoption option, Value value) {
  if (const CURLcode code = curl_easy_setopt(easy, option, value); code != CURLE_OK) {
    throw FetchError(std::string("libcurl refuses a transfer option: ") + curl_easy_strerror(code));
  }
}

template <class Value>
void set_multi_option(CURLM* multi, CURLMoption option, Value value) {
  if (const CURLMcode code = curl_multi_setopt(multi, option, value); code != CURLM_OK) {
    throw FetchError(std::string("libcurl refuses a transfer group option: ") +
                     curl_multi_strerror(code));
  }
}

}  // namespace korvane::core::detail
