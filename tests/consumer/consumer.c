/* A C host built against the installed library through pkg-config, and by
 * scripts/windows-dll.sh against each Windows import library. It calls all
 * eleven operations and checks the answers veilcastnet.h promises: start-up
 * from a seed file, contexts from the test credentials, connections, the
 * first handshake steps, records refused before the handshake is complete,
 * and no new context after vcTerminate. (A whole handshake over a socket in
 * C is the host guide's host.c, which scripts/consumer.sh also runs.)
 *   consumer_c CREDENTIAL_DIR SEED_FILE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <veilcastnet.h>

static int failures = 0;

static void expect(const char* what, int32_t got, int32_t want) {
    if (got != want) {
        fprintf(stderr, "consumer_c: %s: %d (%s), expected %d\n", what, (int)got, vcErrorText(got),
                (int)want);
        ++failures;
    }
}

/* A whole file, kept for the life of the program. */
static PemInput readPem(const char* directory, const char* name) {
    char path[4096];
    PemInput pem = {NULL, 0};
    char* text = malloc(65536);
    FILE* file;
    snprintf(path, sizeof path, "%s/%s", directory, name);
    file = fopen(path, "rb");
    if (file == NULL || text == NULL) {
        fprintf(stderr, "consumer_c: cannot read %s\n", path);
        exit(1);
    }
    pem.length = (uint32_t)fread(text, 1, 65536, file);
    pem.text = text;
    fclose(file);
    return pem;
}

int main(int argc, char** argv) {
    PemInput ca, certificate, key;
    PemKeyInput privateKey;
    VcContext *serverContext = NULL, *clientContext = NULL;
    VcConnection *server = NULL, *client = NULL;
    uint8_t input[64] = {0}, output[32768];
    uint32_t inputLength = 0, outputLength = 0, dataLength = 5;

    if (argc != 3) {
        fprintf(stderr, "usage: consumer_c CREDENTIAL_DIR SEED_FILE\n");
        return 2;
    }
    printf("%s", vcInfoText());
    expect("vcInitialize", vcInitialize(NULL, NULL, NULL, NULL, argv[2]), VC_OK);
    ca = readPem(argv[1], "ca.pem");
    certificate = readPem(argv[1], "server.pem");
    key = readPem(argv[1], "server.key");
    privateKey.text = key.text;
    privateKey.length = key.length;
    privateKey.passPhrase = NULL;
    privateKey.passPhraseLength = 0;
    expect("server context",
           vcCreateContext(&certificate, &privateKey, &ca, 1, NULL, VC_CIPHER_RC4_128, ROLE_SERVER,
                           &serverContext),
           VC_OK);
    expect(
        "client context",
        vcCreateContext(NULL, NULL, &ca, 1, NULL, VC_CIPHER_RC4_128, ROLE_CLIENT, &clientContext),
        VC_OK);
    expect("a client without a service name", vcCreateConnection(clientContext, NULL, 0, &client),
           VC_NO_SERVICENAME);
    expect("client", vcCreateConnection(clientContext, "server.example", 0, &client), VC_OK);
    expect("server", vcCreateConnection(serverContext, NULL, 0, &server), VC_OK);

    expect("the client's hello", vcHandshake(NULL, NULL, output, &outputLength, client),
           VC_SEND_DATA);
    expect("the server before any input",
           vcHandshake(input, &inputLength, output, &outputLength, server), VC_RECEIVE_MORE_DATA);
    outputLength = sizeof output;
    expect("a record before the handshake",
           vcSealRecord((const uint8_t*)"hello", &dataLength, output, &outputLength, client),
           VC_HANDSHAKE_IN_PROGRESS);
    expect("the record's lengths", (int32_t)(dataLength + outputLength), 0);
    expect("opening before the handshake",
           vcOpenRecord(input, &inputLength, output, &outputLength, server),
           VC_HANDSHAKE_IN_PROGRESS);

    vcDestroyConnection(client);
    vcDestroyConnection(server);
    vcDestroyContext(clientContext);
    vcDestroyContext(serverContext);
    vcTerminate();
    expect(
        "a context after vcTerminate",
        vcCreateContext(NULL, NULL, &ca, 1, NULL, VC_CIPHER_RC4_128, ROLE_CLIENT, &clientContext),
        VC_NOT_INITIALIZED);
    if (strcmp(vcErrorText(VC_WRONG_SERVICENAME), "wrong servicename") != 0) {
        ++failures;
    }
    free((void*)ca.text);
    free((void*)certificate.text);
    free((void*)key.text);
    printf("consumer_c: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
