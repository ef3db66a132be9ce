// The scenarios of the session: which credentials, suites, service names
// and refusing callbacks each side has, and what follows the handshake.
#include "session.h"

namespace vchost::session {

std::vector<Scenario> scenarios(const Texts& t) {
    ContextRequest server;
    server.certificate = &t.server;
    server.key = &t.serverEncKey;
    server.passPhrase = &t.passPhrase;
    server.cas = {&t.ca};
    ContextRequest client;
    client.role = ROLE_CLIENT;
    client.cas = {&t.ca};
    ContextRequest authServer = server;
    authServer.role = ROLE_SERVER_AUTH_CLIENT;
    ContextRequest authClient = client;
    authClient.certificate = &t.client;
    authClient.key = &t.clientEncKey;
    authClient.passPhrase = &t.passPhrase;

    const auto with = [](ContextRequest request, uint32_t mask) {
        request.cipherMask = mask;
        return request;
    };
    // The server with another certificate and its unencrypted key.
    const auto serving = [&server](const std::string& certificate, const std::string& key) {
        ContextRequest request = server;
        request.certificate = &certificate;
        request.key = &key;
        request.passPhrase = nullptr;
        return request;
    };
    std::vector<Scenario> list;
    list.push_back({"RC4-128, no client certificate", with(client, VC_CIPHER_RC4_128), server});
    list.back().then = Scenario::RECORDS;
    list.push_back(
        {"triple-DES-CBC, no client certificate", with(client, VC_CIPHER_DES_EDE3_CBC), server});
    list.back().then = Scenario::RECORDS;
    list.push_back(
        {"RC4-128, client certificate", with(authClient, VC_CIPHER_RC4_128), authServer});
    list.back().then = Scenario::RECORDS;
    list.push_back({"triple-DES-CBC, client certificate", with(authClient, VC_CIPHER_DES_EDE3_CBC),
                    authServer});
    list.back().then = Scenario::RECORDS;
    list.push_back({"both suites offered on both sides", client, server});
    list.push_back(
        {"the server offers triple-DES-CBC only", client, with(server, VC_CIPHER_DES_EDE3_CBC)});
    list.push_back({"RC4-128, records broken", with(client, VC_CIPHER_RC4_128), server});
    list.back().then = Scenario::BROKEN_RECORDS;
    list.push_back(
        {"triple-DES-CBC, records broken", with(client, VC_CIPHER_DES_EDE3_CBC), server});
    list.back().then = Scenario::BROKEN_RECORDS;
    list.push_back(
        {"no common suite", with(client, VC_CIPHER_RC4_128), with(server, VC_CIPHER_DES_EDE3_CBC)});
    list.push_back(
        {"the client's callback refuses", client, server, "server.example", CLIENT_USER_VALUE});
    list.push_back({"the server's callback refuses the client certificate", authClient, authServer,
                    "server.example", SERVER_USER_VALUE});
    list.push_back({"the client expects another service name", client, server, "other.example"});
    ContextRequest noCallback = client;
    noCallback.callback = false;
    list.push_back({"a client without a callback", noCallback, server});
    list.push_back(
        {"a client without a callback, another service name", noCallback, server, "other.example"});
    list.push_back({"the server asks a client without a certificate", client, authServer});
    ContextRequest trustsOther = client;
    trustsOther.cas = {&t.otherCa};
    list.push_back({"the client trusts only another CA", trustsOther, server});
    list.push_back({"the server's certificate has expired", client,
                    serving(t.expired, t.expiredKey), "expired.example"});
    ContextRequest trustsExpiredCa = client;
    trustsExpiredCa.cas = {&t.expiredCa};
    list.push_back(
        {"the server's CA has expired", trustsExpiredCa, serving(t.byExpiredCa, t.byExpiredCaKey)});
    list.push_back({"the server's certificate comes from an unknown CA", client,
                    serving(t.unknownCa, t.unknownCaKey)});
    return list;
}

}  // namespace vchost::session
