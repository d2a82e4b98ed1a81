#pragma once

#include <string>

// Scenario 6: request latency of the login service with "Require Passwords"
// checked over a store of N accounts. VALIDATE asks for existing accounts
// with their passwords (answer PASS); NEWUSER registers new names (answer
// ACCEPT). One request at a time, each timed from send to its reply.
class LoginScenario
{
public:
    struct Result
    {
        bool ok = false;
        std::string failure;
        double validateMedianMs = -1;
        double validateP99Ms = -1;
        double newUserMedianMs = -1;
        double newUserP99Ms = -1;
    };

    LoginScenario(std::string hostProgram, int users, int validates, int registrations);
    Result run();

private:
    std::string m_hostProgram;
    int m_users;
    int m_validates;
    int m_registrations;
};
