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

// A second entry point, for a message the caller composed (a kept mail sent again): server, to
// and from as above; message is the header and body with CR LF line ends, not dot-stuffed. 1
// when it was accepted; 0 when it was refused for good (a 5xx reply, a bad argument); -1 when it
// may go through later (no connection, a time-out, a 4xx reply). A library without it is still
// used for new mail.
extern "C" {
using BSendRawMailFunction = int (*)(const char* server, const char* to, const char* from,
                                     const char* message, char* error);
}

// The size of the caller's error buffer.
constexpr int kBSendMailErrorSize = 256;
