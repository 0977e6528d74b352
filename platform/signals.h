#pragma once

// The requests to end that reach a program from outside: SIGTERM (a session ending, a service
// manager stopping it) and SIGINT.
namespace platform {

// A file that becomes readable when such a request arrives; the program watches it in its event
// loop and ends as its own "exit" command does. -1 when it cannot be set up.
int TerminationRequests();

// The same for SIGHUP, a request to read the configuration again (a service manager's reload).
int ReloadRequests();

}  // namespace platform
