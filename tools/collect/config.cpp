// The configuration file: TOML read with toml++. Every value a job uses is
// looked up in the job, then its register, then [defaults], then built in,
// so a shop states what all registers share once and only the differences
// per register. Every key is checked: a misspelt one is an error with its
// line, not a silent default.
#include <toml++/toml.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "../numbered_name.h"
#include "collect.h"

namespace collect {

namespace fs = std::filesystem;

namespace {

const std::set<std::string> kJobKeys = {
    "kind",    "name",           "command",        "header",         "header_format", "data",
    "csv",     "into",           "file",           "selection",      "receive_wait",  "retries",
    "timeout", "select_retries", "select_timeout", "record_timeout", "close_mode",    "end_pause"};
const std::set<std::string> kLinkKeys = {"terminal", "station", "baud", "line_mode", "limit_s"};
const std::set<std::string> kRegisterOnlyKeys = {"name", "tcp", "serial", "usb", "job"};
const std::set<std::string> kCollectKeys = {"jobs", "retries", "backoff_ms", "failed"};

int LineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

[[noreturn]] void Fail(int line, const std::string& key, const std::string& what) {
    throw ConfigError(line, key, what);
}

void CheckKeys(const toml::table& table, const std::set<std::string>& a,
               const std::set<std::string>& b = {}, const std::set<std::string>& c = {}) {
    for (auto&& [key, value] : table) {
        std::string name(key.str());
        if (!a.contains(name) && !b.contains(name) && !c.contains(name)) {
            Fail(static_cast<int>(key.source().begin.line), name, "unknown key");
        }
    }
}

// The tables a value is looked up in, most specific first.
struct Layers {
    std::vector<const toml::table*> tables;

    const toml::node* Find(const std::string& key) const {
        for (const toml::table* t : tables) {
            if (t == nullptr) continue;
            if (const toml::node* node = t->get(key)) return node;
        }
        return nullptr;
    }

    std::optional<std::int64_t> Int(const std::string& key, std::int64_t low,
                                    std::int64_t high) const {
        const toml::node* node = Find(key);
        if (node == nullptr) return std::nullopt;
        auto value = node->value<std::int64_t>();
        if (!node->is_integer() || !value) Fail(LineOf(*node), key, "must be a whole number");
        if (*value < low || *value > high) {
            Fail(LineOf(*node), key,
                 "must be from " + std::to_string(low) + " to " + std::to_string(high));
        }
        return value;
    }

    unsigned UInt(const std::string& key, unsigned fallback,
                  std::int64_t high = 0xFFFFFFFFLL) const {
        return static_cast<unsigned>(Int(key, 0, high).value_or(fallback));
    }

    std::optional<std::string> Text(const std::string& key) const {
        const toml::node* node = Find(key);
        if (node == nullptr) return std::nullopt;
        if (!node->is_string()) Fail(LineOf(*node), key, "must be a text in quotes");
        return node->value<std::string>();
    }

    bool Bool(const std::string& key, bool fallback) const {
        const toml::node* node = Find(key);
        if (node == nullptr) return fallback;
        if (!node->is_boolean()) Fail(LineOf(*node), key, "must be true or false");
        return *node->value<bool>();
    }
};

bool DottedQuad(const std::string& text) {
    unsigned a, b, c, d;
    char tail;
    return std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a < 256 &&
           b < 256 && c < 256 && d < 256 &&
           text.find_first_not_of("0123456789.") == std::string::npos;
}

std::string Fill(std::string text, const std::string& reg, const std::string& date) {
    for (auto [name, value] :
         {std::pair<std::string, std::string>{"{register}", reg}, {"{date}", date}}) {
        for (std::size_t at; (at = text.find(name)) != std::string::npos;) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

std::string Resolve(const fs::path& base, const std::string& path) {
    fs::path p = (fs::path(path).is_absolute() ? fs::path(path) : base / path).lexically_normal();
    if (!p.has_filename() && p.has_parent_path()) p = p.parent_path();  // "out/" is "out"
    return p.string();
}

Job ReadJob(const Layers& layers, int line, const Register& reg, const fs::path& base,
            const std::string& date) {
    Job job;
    std::string kind = layers.Text("kind").value_or("");
    if (kind == "receive") {
        job.kind = Job::Kind::kReceive;
    } else if (kind == "send") {
        job.kind = Job::Kind::kSend;
    } else if (kind == "read") {
        job.kind = Job::Kind::kRead;
    } else if (kind == "write") {
        job.kind = Job::Kind::kWrite;
    } else {
        const toml::node* node = layers.Find("kind");
        Fail(node ? LineOf(*node) : line, "kind",
             "must be \"receive\", \"send\", \"read\" or \"write\"");
    }
    job.name = layers.tables[0]->get("name") ? *layers.Text("name") : kind;
    if (job.name.empty() || job.name.find_first_of("/\\") != std::string::npos) {
        Fail(LineOf(*layers.Find("name")), "name", "must be a name without a slash");
    }
    job.command = layers.Text("command");
    job.headerFormat = layers.UInt("header_format", 0, 255);
    job.csv = layers.Bool("csv", false);
    job.selection = layers.UInt("selection", 0, 2);
    job.receiveWait = layers.UInt("receive_wait", job.receiveWait);
    job.retries = layers.UInt("retries", job.retries);
    job.timeout = layers.UInt("timeout", job.timeout);
    job.selectRetries = layers.UInt("select_retries", job.selectRetries);
    job.selectTimeout = layers.UInt("select_timeout", job.selectTimeout);
    job.recordTimeout = layers.UInt("record_timeout", job.recordTimeout);
    job.closeMode = layers.UInt("close_mode", 0);
    job.endPause = layers.UInt("end_pause", 0);

    auto fill = [&](const std::string& key) -> std::optional<std::string> {
        auto text = layers.Text(key);
        if (text) text = Fill(*text, reg.name, date);
        return text;
    };
    // Fails at the line of key, or of the job when a default was refused.
    auto failAt = [&](const std::string& key, const std::string& what) {
        const toml::node* node = layers.Find(key);
        Fail(node ? LineOf(*node) : line, key, what);
    };
    auto plainName = [&](const std::string& key, const std::string& value) {
        if (value.empty() || value.find('/') != std::string::npos || value == "." ||
            value == "..") {
            failAt(key, "must be a file name without a folder");
        }
        return value;
    };
    auto need = [&](const std::string& key) {
        auto text = fill(key);
        if (!text || text->empty()) Fail(line, key, "missing for a " + kind + " job");
        return *text;
    };
    switch (job.kind) {
        case Job::Kind::kReceive:
            job.into = Resolve(base, need("into"));
            job.header = plainName("header", fill("header").value_or("header.txt"));
            job.data = plainName("data", fill("data").value_or("data.txt"));
            // The library names file 2 of a series by replacing the last '.'
            // of the whole path: without one in the file name it would take
            // the one in the temporary folder's name and write outside it.
            if (job.data.find('.') == std::string::npos) {
                failAt("data",
                       "needs an extension, as in data.txt: the files of a series are numbered "
                       "by replacing it");
            }
            if (InSeries(job.header, job.data)) {
                failAt("header", "is a file of the data series (" + job.data +
                                     ", then .002 ...): the data would overwrite it");
            }
            break;
        case Job::Kind::kSend:
            if (auto header = fill("header"); header && !header->empty()) {
                job.header = Resolve(base, *header);
            }
            job.data = Resolve(base, need("data"));
            break;
        case Job::Kind::kRead:
            job.into = Resolve(base, need("into"));
            job.data = plainName("file", fill("file").value_or("read.txt"));
            break;
        case Job::Kind::kWrite:
            job.data = Resolve(base, need("file"));
            break;
    }
    return job;
}

}  // namespace

const char* KindName(Job::Kind kind) {
    switch (kind) {
        case Job::Kind::kReceive:
            return "receive";
        case Job::Kind::kSend:
            return "send";
        case Job::Kind::kRead:
            return "read";
        case Job::Kind::kWrite:
            return "write";
    }
    return "?";
}

std::string Register::LinkText() const {
    switch (link) {
        case Link::kTcp:
            return "tcp " + host + ":" + std::to_string(port);
        case Link::kSerial:
            return "serial " + (device.empty() ? "COM" + std::to_string(comNumber) : device);
        case Link::kUsb:
            return "usb " + usb;
    }
    return "?";
}

std::string Register::LineKey() const {
    if (link != Link::kSerial) return "";
    std::string path = device;
    if (path.empty()) {
        std::string var = "ORV_LIB_COM" + std::to_string(comNumber);
        const char* mapped = std::getenv(var.c_str());
        path = mapped != nullptr ? mapped : "/dev/ttyS" + std::to_string(comNumber - 1);
    }
    // The device itself: a link (/dev/serial/by-id/...) and its target are one line.
    std::error_code error;
    fs::path real = fs::weakly_canonical(path, error);
    return error ? path : real.string();
}

Config LoadConfig(const std::string& path, const std::string& date) {
    toml::table root;
    std::error_code ignored;
    if (fs::is_directory(path, ignored)) throw ConfigError(0, "", "is a folder, not a file");
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        throw ConfigError(static_cast<int>(error.source().begin.line), "",
                          std::string(error.description()));
    }
    fs::path base = fs::absolute(fs::path(path)).parent_path();
    CheckKeys(root, {"collect", "defaults", "register", "job"});

    auto tableAt = [&](const char* key) -> const toml::table* {
        const toml::node* node = root.get(key);
        if (node == nullptr) return nullptr;
        if (!node->is_table())
            Fail(LineOf(*node), key, "must be a table [" + std::string(key) + "]");
        return node->as_table();
    };
    auto arrayOfTables = [&](const toml::table& in, const char* key) {
        std::vector<const toml::table*> out;
        const toml::node* node = in.get(key);
        if (node == nullptr) return out;
        const toml::array* array = node->as_array();
        if (array == nullptr || !array->is_array_of_tables()) {
            Fail(LineOf(*node), key, "must be written [[" + std::string(key) + "]]");
        }
        for (const toml::node& item : *array) out.push_back(item.as_table());
        return out;
    };

    Config config;
    const toml::table* collectTable = tableAt("collect");
    const toml::table* defaults = tableAt("defaults");
    if (collectTable) CheckKeys(*collectTable, kCollectKeys);
    if (defaults) CheckKeys(*defaults, kJobKeys, kLinkKeys);
    Layers top{{collectTable}};
    config.parallel = top.UInt("jobs", 0, 10000);
    config.retries = top.UInt("retries", 1, 100);
    config.backoffMs = top.UInt("backoff_ms", 1000, 3600000);
    config.failedDir = Resolve(base, top.Text("failed").value_or("failed"));

    std::vector<const toml::table*> commonJobs = arrayOfTables(root, "job");
    for (const toml::table* job : commonJobs) CheckKeys(*job, kJobKeys);
    std::vector<const toml::table*> registers = arrayOfTables(root, "register");
    if (registers.empty()) Fail(1, "register", "no [[register]] in the file");

    std::set<std::string> names;
    for (const toml::table* table : registers) {
        int line = LineOf(*table);
        CheckKeys(*table, kRegisterOnlyKeys, kJobKeys, kLinkKeys);
        Layers layers{{table, defaults}};
        Register reg;
        auto name = Layers{{table}}.Text("name");
        if (!name || name->empty()) Fail(line, "name", "every register needs a name");
        if (name->find_first_of("/\\") != std::string::npos || *name == "." || *name == "..") {
            Fail(LineOf(*table->get("name")), "name", "must not contain a slash");
        }
        if (!names.insert(*name).second) {
            Fail(LineOf(*table->get("name")), "name", "\"" + *name + "\" is used twice");
        }
        reg.name = *name;
        int links = (table->contains("tcp") ? 1 : 0) + (table->contains("serial") ? 1 : 0) +
                    (table->contains("usb") ? 1 : 0);
        if (links != 1) Fail(line, "tcp", "give exactly one of tcp, serial and usb");
        Layers own{{table}};
        if (auto tcp = own.Text("tcp")) {
            reg.link = Register::Link::kTcp;
            std::size_t colon = tcp->rfind(':');
            unsigned port = 0;
            char tail;
            if (colon == std::string::npos || !DottedQuad(tcp->substr(0, colon)) ||
                std::sscanf(tcp->c_str() + colon + 1, "%u%c", &port, &tail) != 1 || port == 0 ||
                port > 65535) {
                Fail(LineOf(*table->get("tcp")), "tcp", "must be \"a.b.c.d:port\"");
            }
            reg.host = tcp->substr(0, colon);
            reg.port = port;
            reg.terminal = layers.Text("terminal").value_or(reg.terminal);
            if (!DottedQuad(reg.terminal)) {
                Fail(LineOf(*layers.Find("terminal")), "terminal", "must be \"a.b.c.d\"");
            }
        } else if (const toml::node* serial = table->get("serial")) {
            reg.link = Register::Link::kSerial;
            if (serial->is_integer()) {
                reg.comNumber = static_cast<unsigned>(own.Int("serial", 1, 255).value());
            } else if (serial->is_string() && !serial->value<std::string>()->empty()) {
                reg.device = Resolve(base, *serial->value<std::string>());
            } else {
                Fail(LineOf(*serial), "serial", "must be a COM number or a device path");
            }
            reg.station = layers.Text("station").value_or(reg.station);
            static const unsigned kBauds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
            if (const toml::node* node = layers.Find("baud")) {
                auto baud = node->value<std::int64_t>();
                unsigned code = 7;
                for (unsigned i = 0; i < 7 && node->is_integer(); ++i) {
                    if (baud && *baud == kBauds[i]) code = i;
                }
                if (code == 7) Fail(LineOf(*node), "baud", "must be one of 2400 ... 115200");
                reg.baudCode = code;
            }
            reg.lineMode = layers.UInt("line_mode", 1, 2);
        } else {
            reg.link = Register::Link::kUsb;
            reg.usb = own.Text("usb").value_or("");
            if (reg.usb.empty() || reg.usb.size() > 255) {
                Fail(LineOf(*table->get("usb")), "usb",
                     "must be a device name of 1-255 characters");
            }
        }
        // 0 would stop every worker as soon as it starts.
        reg.limitSeconds = static_cast<unsigned>(layers.Int("limit_s", 1, 86400).value_or(600));

        std::vector<const toml::table*> jobs = arrayOfTables(*table, "job");
        for (const toml::table* job : jobs) CheckKeys(*job, kJobKeys);
        if (jobs.empty()) jobs = commonJobs;
        if (jobs.empty()) Fail(line, "job", "no [[job]] for register \"" + reg.name + "\"");
        for (const toml::table* job : jobs) {
            reg.jobs.push_back(
                ReadJob(Layers{{job, table, defaults}}, LineOf(*job), reg, base, date));
        }
        config.registers.push_back(std::move(reg));
    }
    return config;
}

}  // namespace collect
