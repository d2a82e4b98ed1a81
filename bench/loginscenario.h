#pragma once

#include <atomic>
#include <string>

// The login service with "Require Passwords" ticked over a store of N
// accounts: VALIDATE of existing accounts (answer PASS) on one connection,
// then NEWUSER of new names (answer ACCEPT), each from an address of its own,
// as the service takes only a few registrations from one address. One request
// at a time, each timed from its send to its reply.
class LoginScenario
{
public:
    struct Result
    {
        bool ok = false;
        std::string failure;
        double validateP50Ms = -1;
        double validateP99Ms = -1;
        double newUserP50Ms = -1;
        double newUserP99Ms = -1;
    };

    LoginScenario(int users, int validates, int registrations)
        : m_users(users), m_validates(validates), m_registrations(registrations)
    {
    }

    // Before the server starts in `folder`: users.mdb with the accounts
    // user<k>/pw<k> and "storm" (hashed), and "Require Passwords" ticked.
    bool prepare(const std::string &folder, std::string *error) const;
    Result run(unsigned short port) const;
    // Until `stop`: 20 VALIDATE a second of the hashed account "storm" with a wrong
    // password, each from an address of its own, unread; 5 slots (--clients 45).
    static int storm(unsigned short port, const std::atomic<bool> &stop);

private:
    int m_users;
    int m_validates;
    int m_registrations;
};
