#pragma once

#include <exception>

// What went wrong between the program and a mail server, by kind rather than by text. The
// built-in client raises its failures with one; the report, the outbox and the settings
// dialog decide by it, and the mail library words its failures by the same kinds.
enum class MailFault {
    Other,                 // anything the kinds below do not name
    HostUnknown,           // the server's name gives no address
    ConnectTimedOut,       // the server did not take the connection in time
    ConnectFailed,         // the name could not be looked up in time, or the connection failed
    AlreadyConnected,      // a connect on a client that is connected
    ConnectionLost,        // no reply in time, the connection dropped, or the wait was given up
    AuthenticationFailed,  // the server refused the sender's authentication
    Tls,                   // no TLS session could be made
    Refused,               // a reply refused the step
};

// The kind of a failure the built-in client raised; Other for any other exception.
MailFault FaultOf(const std::exception& e);

// Whether the failure says the server is not there for now (so that nothing it had not refused
// is refused for good), as opposed to a reply that refused something.
bool ServerAway(MailFault fault);
