/* A C host built against the installed library through pkg-config: seeds
 * it from a seed file, makes a server and a client context from the test
 * credentials, runs the handshake between them in memory and sends one
 * record each way.
 *   consumer_c CREDENTIAL_DIR SEED_FILE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <veilcastnet.h>

static char directory[4096];

static void fail(const char* what, int32_t result) {
    fprintf(stderr, "consumer_c: %s: %d (%s)\n", what, (int)result, vcErrorText(result));
    exit(1);
}

/* A whole file into a malloc'd buffer; the length goes to *length. */
static char* readFile(const char* name, uint32_t* length) {
    char path[8192];
    snprintf(path, sizeof path, "%s/%s", directory, name);
    FILE* file = fopen(path, "rb");
    char* text = malloc(65536);
    if (file == NULL || text == NULL) {
        fail(path, VC_NO_CERTIFICATE);
    }
    *length = (uint32_t)fread(text, 1, 65536, file);
    fclose(file);
    return text;
}

/* The bytes one side has received and not consumed yet. */
typedef struct Wire {
    uint8_t bytes[65536];
    uint32_t length;
} Wire;

static Wire toClient, toServer;
static uint8_t output[65536];

/* One handshake step of a side that is not done; what it sends lands on
 * the peer's wire. Returns 1 once the side is done. */
static int step(VcConnection* connection, Wire* in, Wire* out) {
    uint32_t outputLength = 0;
    int32_t result = vcHandshake(in->bytes, &in->length, output, &outputLength, connection);
    if (result == VC_SEND_DATA) {
        memcpy(out->bytes + out->length, output, outputLength);
        out->length += outputLength;
    } else if (result != VC_RECEIVE_MORE_DATA && result != VC_OK) {
        fail("vcHandshake", result);
    }
    return result == VC_OK;
}

/* Seals text on one connection, opens it on the other, compares. */
static void sendRecord(VcConnection* from, VcConnection* to, Wire* wire, const char* text) {
    uint32_t taken = (uint32_t)strlen(text);
    uint32_t recordLength = sizeof output;
    uint8_t payload[65516];
    uint32_t payloadLength = 0;
    int32_t result = vcSealRecord((const uint8_t*)text, &taken, output, &recordLength, from);
    if (result != VC_SEND_DATA || taken != strlen(text)) {
        fail("vcSealRecord", result);
    }
    memcpy(wire->bytes, output, recordLength);
    wire->length = recordLength;
    result = vcOpenRecord(wire->bytes, &wire->length, payload, &payloadLength, to);
    if (result != VC_OK || wire->length != 0 || payloadLength != taken ||
        memcmp(payload, text, taken) != 0) {
        fail("vcOpenRecord", result);
    }
}

int main(int argc, char** argv) {
    PemInput ca, certificate;
    PemKeyInput key = {NULL, 0, NULL, 0};
    VcContext *serverContext = NULL, *clientContext = NULL;
    VcConnection *server = NULL, *client = NULL;
    int32_t result;
    int serverDone = 0, clientDone = 0, turn;

    if (argc != 3) {
        fprintf(stderr, "usage: consumer_c CREDENTIAL_DIR SEED_FILE\n");
        return 2;
    }
    snprintf(directory, sizeof directory, "%s", argv[1]);
    printf("%s", vcInfoText());
    result = vcInitialize(NULL, NULL, NULL, NULL, argv[2]);
    if (result != VC_OK) {
        fail("vcInitialize", result);
    }
    ca.text = readFile("ca.pem", &ca.length);
    certificate.text = readFile("server.pem", &certificate.length);
    key.text = readFile("server.key", &key.length);
    result = vcCreateContext(&certificate, &key, &ca, 1, NULL, VC_CIPHER_DES_EDE3_CBC, ROLE_SERVER,
                             &serverContext);
    if (result != VC_OK) {
        fail("server context", result);
    }
    result = vcCreateContext(NULL, NULL, &ca, 1, NULL, VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC,
                             ROLE_CLIENT, &clientContext);
    if (result != VC_OK) {
        fail("client context", result);
    }
    if (vcCreateConnection(clientContext, "server.example", 0, &client) != VC_OK ||
        vcCreateConnection(serverContext, NULL, 0, &server) != VC_OK) {
        fail("vcCreateConnection", VC_NO_CONNECTION);
    }
    for (turn = 0; turn < 16 && !(clientDone && serverDone); ++turn) {
        clientDone = clientDone || step(client, &toClient, &toServer);
        serverDone = serverDone || step(server, &toServer, &toClient);
    }
    if (!clientDone || !serverDone) {
        fail("the handshake did not finish", VC_HANDSHAKE_IN_PROGRESS);
    }
    sendRecord(client, server, &toServer, "a record from the client");
    sendRecord(server, client, &toClient, "and one from the server");
    vcDestroyConnection(client);
    vcDestroyConnection(server);
    vcDestroyContext(clientContext);
    vcDestroyContext(serverContext);
    vcTerminate();
    free((void*)ca.text);
    free((void*)certificate.text);
    free((void*)key.text);
    printf("consumer_c: ok (%s)\n", vcErrorText(VC_OK));
    return 0;
}
