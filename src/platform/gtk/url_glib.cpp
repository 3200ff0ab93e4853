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
    const std::string owned(text);
    // GUri stops at an embedded NUL; such text is no URL.
    if (owned.find('\0') != std::string::npos || hasEmptyPort(owned))
        return std::nullopt;
    GUri* uri = g_uri_parse(owned.c_str(), G_URI_FLAGS_ENCODED, nullptr);
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
