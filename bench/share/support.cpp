#include "support.h"

#include <triangle_model.h>
#include <zel/world/geometry.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>

namespace sharebench {

double ms(clock_type::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

percentiles of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return {};
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

void fail(const std::string& line) {
    std::cerr << "share_bench: " << line << "\n";
    throw failure{};
}

siteWorld::siteWorld(const std::string& url, const std::string& scene, const std::string& user) {
    zel::share::shareOptions o;
    o.servers = {url};
    o.scene = scene;
    o.user = user;
    std::string error;
    share = zel::share::sharedScene::join(w, o, std::cerr, error);
    if (!share)
        fail(error);
    drag = w.createNode(u"drag");
    dynamic_cast<sceneNode*>(w.getNavigatorNode())->addChild(drag);
}

void siteWorld::set(float x) {
    zel::matrix4 m;
    m.setTranslate(zel::vec3(x, 0, 0));
    drag->setMatrix(m);
}

std::vector<float> siteWorld::mirroredDrags() {
    std::vector<float> out;
    zel::world::walkGraph(w.getRootNode(), [&](zel::sceneGraph::iSceneNode* n, int) {
        auto* s = dynamic_cast<sceneNode*>(n);
        if (s && s->share().mirror && s->getName() == u"drag")
            out.push_back(s->getMatrix().data()[12]);
        return true;
    });
    return out;
}

plainClient::plainClient(const std::string& url) {
    natsConnection_ConnectTo(&nc_, url.c_str());
    natsConnection_JetStream(&js_, nc_, nullptr);
}

plainClient::~plainClient() {
    jsCtx_Destroy(js_);
    natsConnection_Destroy(nc_);
}

void plainClient::publishAsync(const std::string& subject, const std::string& value) {
    js_PublishAsync(js_, subject.c_str(), value.data(), static_cast<int>(value.size()), nullptr);
}

void plainClient::finish() {
    jsPubOptions o;
    jsPubOptions_Init(&o);
    o.MaxWait = 60000;
    js_PublishAsyncComplete(js_, &o);
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

} // namespace sharebench
