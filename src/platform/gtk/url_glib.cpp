#include "platform/gtk/url_glib.h"

#include <glib.h>

#include <string>

namespace quorva {

namespace {

// GUri takes "host:" as no port at all; a server that names a port must name
// one, or the shell would load the scheme's default port instead.
bool hasEmptyPort(std::string_view text)
{
    const auto authority = text.find("//");
    if (authority == std::string_view::npos)
        return false;
    const auto end = text.find_first_of("/?#", authority + 2);
    const auto hostAndPort = text.substr(authority + 2, end == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : end - authority - 2);
    return !hostAndPort.empty() && hostAndPort.back() == ':';
}

}  // namespace

std::optional<Url> GlibUrlParser::parse(std::string_view text) const
{
    if (hasEmptyPort(text))
        return std::nullopt;
    return parseUrl(text, G_URI_FLAGS_ENCODED);
}

std::optional<Url> parseWebKitUrl(std::string_view text)
{
    // WebKit keeps what its URL standard allows, a lone "%" among it.
    return parseUrl(text, static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_PARSE_RELAXED));
}

std::optional<Url> parseUrl(std::string_view text, GUriFlags flags)
{
    const std::string owned(text);
    // GUri stops at an embedded NUL; such text is no URL.
    if (owned.find('\0') != std::string::npos)
        return std::nullopt;
    GUri* uri = g_uri_parse(owned.c_str(), flags, nullptr);
    if (!uri)
        return std::nullopt;
    Url url;
    url.text = owned;
    url.scheme = g_uri_get_scheme(uri);
    if (const char* host = g_uri_get_host(uri))
        url.host = host;
    g_uri_unref(uri);
    return url;
}

}  // namespace quorva
