"""Exceptions of daqclient: each carries the system's result code and text."""


class DaqError(Exception):
    """A failure reported by the DAQ libraries.

    code   -- the system's result code (connect result, end-of-data status, ...)
    text   -- the system's text for that code
    reason -- the server's reason text when one came with the failure, else ""
    """

    def __init__(self, code, text, reason=""):
        self.code = code
        self.text = text
        self.reason = reason
        message = f"{text} (code {code})"
        if reason:
            message += f": {reason}"
        super().__init__(message)

    # The default pickling passes the message as the only argument; errors
    # raised in a worker process (dask, multiprocessing) must reach the caller
    # whole, with what was attached to them (a fetch's records).
    def __reduce__(self):
        return (type(self), (self.code, self.text, self.reason), self.__dict__)


class ConnectError(DaqError):
    """The request handshake failed: no server accepted the request."""


class ReceiverError(DaqError):
    """The data receiver failed, or its stream ended on an error."""


class RequestError(DaqError, ValueError):
    """A request value was rejected before anything was sent."""
