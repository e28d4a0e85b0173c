// Every test program runs in the time zone its expectations are written in,
// the classroom's (Paris), whatever the zone of the shell or machine that
// starts it: dates of class logs, slots and sessions follow the local time.
// The programs it starts (test server, fake LM Studio) inherit it.
#include <stdlib.h>
#include <time.h>

namespace {

const bool kParisTime = [] {
    ::setenv("TZ", "Europe/Paris", 1);
    ::tzset();
    return true;
}();

}  // namespace
