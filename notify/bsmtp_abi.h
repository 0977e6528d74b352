#pragma once

// The authenticated mail library's entry point, as the program resolves it by name after
// loading "BSMTP.DLL". All texts are zero-terminated Shift-JIS:
//   server       "host:port:timeout" (timeout in seconds)
//   to           "<a>" or "<a>\t<b>..."
//   from         "Name <address>", with "\tuser:password\tMETHOD" to authenticate (METHOD is
//                LOGIN, CRAM-MD5 or PLAIN)
//   subject      not encoded
//   body         lines separated by CR LF
//   attachments  full paths separated by tabs; empty for none
//   error        a 256-byte buffer of the caller's
// Non-zero when the mail was accepted for delivery; 0 with a text of at most 255 bytes in error.
extern "C" {
using BSendMailFunction = int (*)(const char* server, const char* to, const char* from,
                                  const char* subject, const char* body, const char* attachments,
                                  char* error);
}

// When BSendMail returns non-zero, error may still hold a text: the recipients the server
// refused while it took the mail for the others.

// A second entry point, for a message the caller composed (report mail kept on disk): server, to
// and from as above; message is the header and body with CR LF line ends, not dot-stuffed; fates
// gets one character per recipient of to, in order: 'A' the server took the mail for it, 'D' it
// may go through later (no connection, a time-out, a 4xx reply), 'R' never (a 5xx reply), 'U' the
// whole message went and no reply to its end came (it may have arrived; try again). 1 when
// any recipient took the mail, else -1 when any may later, else 0; error as for BSendMail. A
// library without it is still used for new mail.
extern "C" {
using BSendRawMailFunction = int (*)(const char* server, const char* to, const char* from,
                                     const char* message, char* fates, char* error);
}

// The name the raw entry point is looked up by.
constexpr char kBSendRawMailName[] = "BSendRawMailEx";

// The size of the caller's error buffer.
constexpr int kBSendMailErrorSize = 256;
