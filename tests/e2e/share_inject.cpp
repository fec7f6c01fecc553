// Writes records straight into a broker's key-value buckets with the plain NATS client, as a broken
// or hostile peer would. Commands on standard input, one a line:
//   put BUCKET KEY VALUE        VALUE is the rest of the line; "{N*C}" in it becomes N copies of C
//   flood BUCKET PREFIX COUNT VALUE   COUNT records PREFIX0 .. PREFIX<COUNT-1>, published async
//   keys BUCKET                 prints every key that holds a value, one a line
//   beat BUCKET KEY SECONDS VALUE  puts VALUE every half second for SECONDS (a live presence);
//                               prints "beating" once a put is first acknowledged
//   ready                       waits (at most 30 s) until JetStream answers (a cluster has a
//   leader)
//   consumers BUCKET            prints the bucket's consumers, "NAME SERVER" a line, SERVER the one
//                               that leads it
// It connects as ZEL_SHARE_USER with ZEL_SHARE_PASSWORD when the environment holds them.
// Exit status 0 when every command worked.
#include <nats/nats.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

std::string expand(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '{') {
            const std::size_t star = value.find('*', i);
            const std::size_t close = value.find('}', i);
            const bool digits = star != std::string::npos && star > i + 1 &&
                                value.find_first_not_of("0123456789", i + 1) == star;
            if (digits && close != std::string::npos && close == star + 2) {
                out.append(std::stoul(value.substr(i + 1, star - i - 1)), value[star + 1]);
                i = close;
                continue;
            }
        }
        out.push_back(value[i]);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: share_inject nats://HOST:PORT [COMMAND_FILE] (else standard input)\n";
        return 2;
    }
    std::ifstream file;
    if (argc == 3)
        file.open(argv[2]);
    std::istream& commands = argc == 3 ? static_cast<std::istream&>(file) : std::cin;
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    natsOptions* opts = nullptr;
    const char* user = std::getenv("ZEL_SHARE_USER");
    const char* password = std::getenv("ZEL_SHARE_PASSWORD");
    if (natsOptions_Create(&opts) != NATS_OK || natsOptions_SetURL(opts, argv[1]) != NATS_OK ||
        (user && password && natsOptions_SetUserInfo(opts, user, password) != NATS_OK) ||
        natsConnection_Connect(&nc, opts) != NATS_OK ||
        natsConnection_JetStream(&js, nc, nullptr) != NATS_OK) {
        std::cerr << "share_inject: cannot connect to " << argv[1] << "\n";
        return 1;
    }
    natsOptions_Destroy(opts);
    int status = 0;
    std::string line;
    while (std::getline(commands, line)) {
        std::istringstream in(line);
        std::string verb, bucket;
        in >> verb >> bucket;
        if (verb == "put") {
            std::string key;
            in >> key;
            std::string value;
            std::getline(in, value);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            value = expand(value);
            key = expand(key);
            const std::string subject = "$KV." + bucket + "." + key;
            if (js_Publish(nullptr, js, subject.c_str(), value.data(),
                           static_cast<int>(value.size()), nullptr, nullptr) != NATS_OK) {
                std::cerr << "share_inject: put " << key.substr(0, 40) << " failed\n";
                status = 1;
            }
        } else if (verb == "flood") {
            std::string prefix;
            long count = 0;
            in >> prefix >> count;
            std::string value;
            std::getline(in, value);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            jsPubOptions o;
            jsPubOptions_Init(&o);
            o.MaxWait = 30000;
            for (long i = 0; i < count; ++i) {
                const std::string subject = "$KV." + bucket + "." + prefix + std::to_string(i);
                if (js_PublishAsync(js, subject.c_str(), value.data(),
                                    static_cast<int>(value.size()), nullptr) != NATS_OK)
                    status = 1;
                // In steps, so that the unacknowledged stay few.
                if ((i + 1) % 1000 == 0 && js_PublishAsyncComplete(js, &o) != NATS_OK)
                    status = 1;
            }
            if (js_PublishAsyncComplete(js, &o) != NATS_OK)
                status = 1;
        } else if (verb == "beat") {
            std::string key;
            double seconds = 0;
            in >> key >> seconds;
            std::string value;
            std::getline(in, value);
            if (!value.empty() && value[0] == ' ')
                value.erase(0, 1);
            const std::string subject = "$KV." + bucket + "." + key;
            bool beating = false;
            for (int i = 0; i < seconds * 2; ++i) {
                const natsStatus put = js_Publish(nullptr, js, subject.c_str(), value.data(),
                                                  static_cast<int>(value.size()), nullptr, nullptr);
                if (!beating && put == NATS_OK) {
                    beating = true;
                    std::cout << "beating" << std::endl;
                }
                nats_Sleep(500);
            }
        } else if (verb == "ready") {
            bool ok = false;
            for (int i = 0; i < 300 && !ok; ++i) {
                jsAccountInfo* info = nullptr;
                ok = js_GetAccountInfo(&info, js, nullptr, nullptr) == NATS_OK;
                if (info)
                    jsAccountInfo_Destroy(info);
                if (!ok)
                    nats_Sleep(100);
            }
            if (!ok)
                status = 1;
        } else if (verb == "consumers") {
            jsConsumerInfoList* list = nullptr;
            const std::string stream = "KV_" + bucket;
            if (js_Consumers(&list, js, stream.c_str(), nullptr, nullptr) != NATS_OK) {
                status = 1;
                continue;
            }
            for (int i = 0; i < list->Count; ++i) {
                const jsConsumerInfo* c = list->List[i];
                std::cout << c->Name << " "
                          << (c->Cluster && c->Cluster->Leader ? c->Cluster->Leader : "-") << "\n";
            }
            jsConsumerInfoList_Destroy(list);
        } else if (verb == "keys") {
            kvStore* kv = nullptr;
            kvWatcher* w = nullptr;
            if (js_KeyValue(&kv, js, bucket.c_str()) != NATS_OK ||
                kvStore_WatchAll(&w, kv, nullptr) != NATS_OK) {
                status = 1;
                continue;
            }
            // The initial values end with a null entry.
            for (;;) {
                kvEntry* e = nullptr;
                if (kvWatcher_Next(&e, w, 5000) != NATS_OK || !e)
                    break;
                if (kvEntry_Operation(e) == kvOp_Put)
                    std::cout << kvEntry_Key(e) << "\n";
                kvEntry_Destroy(e);
            }
            kvWatcher_Destroy(w);
            kvStore_Destroy(kv);
        }
    }
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    nats_CloseAndWait(2000);
    return status;
}
