// Actions: run a command, send data by TCP or UDP, send a syslog message.
#include "handlers/handlers.h"

// Running a command.

// Sending data and syslog messages.
