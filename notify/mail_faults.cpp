#include "notify/mail_faults.h"

#include "notify/smtp.h"

MailFault FaultOf(const std::exception& e) {
    if (const auto* failure = dynamic_cast<const SmtpFailure*>(&e)) return failure->Fault();
    return MailFault::Other;
}

bool ServerAway(MailFault fault) {
    switch (fault) {
        case MailFault::HostUnknown:
        case MailFault::ConnectTimedOut:
        case MailFault::ConnectFailed:
        case MailFault::AlreadyConnected:
        case MailFault::ConnectionLost:
        case MailFault::Tls: return true;
        case MailFault::Other:
        case MailFault::AuthenticationFailed:
        case MailFault::Refused: return false;
    }
    return false;
}
