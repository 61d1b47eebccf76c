// One post of a feed form to the feed service.
//
// Built on the standard library's http.client.  Each post opens a connection
// of its own and closes it afterwards, so a service that drops idle
// connections can never fail a post on a stale one.  The request bytes are
// those `requests` sends for the same form; unlike `requests`, the post
// never goes through a proxy, never reads ~/.netrc and never follows a
// redirect: the only peer is the loopback service named by the URL.
//
// `timeout` (seconds, or None for none) bounds the whole exchange: connect,
// send and reply, however slowly the service drips its answer.
//
// Delivered means a 2xx reply.  Failures reach the caller as requests'
// exceptions, which hosts already catch: ConnectTimeout and ReadTimeout,
// ConnectionError, HTTPError (a non-2xx reply, with a requests.Response as
// its .response) and InvalidURL.
#pragma once

#include <nanobind/nanobind.h>


namespace zelmo {

namespace nb = nanobind;

// Imports what posts need; `module` owns the helper class (its __module__).
void init_feed_post(nb::handle module);

// Posts `body` (a form as bytes; empty for no fields) to `url`.
void post_feed_form(nb::handle url, nb::handle body, nb::handle timeout);

} // namespace zelmo
