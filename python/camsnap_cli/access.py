"""Who may ask the view: the run's token (from the printed URL, then from a cookie the
page's own requests carry) and a Host header that names this machine (or the address given
with --host), so that a foreign web page that rebinds its own name to 127.0.0.1 cannot read
the camera; a POST comes from the view's own page or from none."""
import hmac
import ipaddress
import re
import secrets

TOKEN_BYTES = 32                 # 256 bits from secrets
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
HOST_HEADER = re.compile(r"(?P<name>\[[0-9a-f:.]+\]|[^\[\]:]+)(?::[0-9]{1,5})?\Z")


def _host_name(address):
    """An address as it stands in a Host header: IPv6 in brackets."""
    return "[%s]" % address if ":" in address else address


class Access:
    """The run's token and the Host names this view answers to."""

    def __init__(self, port, host=None):
        self.token = secrets.token_urlsafe(TOKEN_BYTES)
        self.cookie_name = "camsnap_view_%d" % port  # cookies ignore ports: one per view
        self.names = set(LOOPBACK_NAMES)
        self.any_address = False
        if host:
            if ipaddress.ip_address(host).is_unspecified:
                # Serving on every address: a Host that is an address literal cannot be a
                # rebound name, so any of them is this machine as the browser reached it.
                self.any_address = True
            else:
                self.names.add(_host_name(str(ipaddress.ip_address(host))))

    def host_allowed(self, hosts):
        """Whether the request's Host headers (a list) name this view, with any port: an ssh
        tunnel may forward another local port to this one."""
        if len(hosts) != 1:
            return False
        match = HOST_HEADER.match(hosts[0].strip().lower())
        if not match:
            return False
        name = match.group("name")
        if name in self.names:
            return True
        if self.any_address:
            try:
                ipaddress.ip_address(name.strip("[]"))
                return True
            except ValueError:
                return False
        return False

    def token_in(self, query, cookie_header):
        """(accepted, from_query): the token from ?token= or from this view's cookie,
        compared in constant time."""
        expected = self.token.encode("ascii")
        for given in query.get("token", []):
            if hmac.compare_digest(given.encode("utf-8", "surrogateescape"), expected):
                return True, True
        for part in (cookie_header or "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == self.cookie_name and hmac.compare_digest(value.encode("latin-1", "replace"),
                                                                expected):
                return True, False
        return False, False

    def cookie(self):
        return "%s=%s; Path=/; HttpOnly; SameSite=Strict" % (self.cookie_name, self.token)

    @staticmethod
    def origin_allowed(origin, host):
        """A POST comes from this view's own page (Origin is this very Host) or from no page."""
        return origin is None or origin.strip().lower() == "http://" + host.strip().lower()
