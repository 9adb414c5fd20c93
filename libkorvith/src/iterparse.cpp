// Incremental parsing: a push parser fed in chunks hands out each element
// as soon as its end tag has been parsed; releasing processed elements
// keeps memory flat on streams of any size.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <new>
#include <string>

#include "internal.h"

namespace korvith {
namespace {

constexpr size_t kChunk = 64 * 1024;

struct Iterator {
    xmlParserCtxtPtr ctxt = nullptr;
    ParseState state;
    std::deque<xmlNodePtr> ready;
    int fd = -1;
    std::string data;  // copied input of the buffer form
    size_t pos = 0;
    bool finished = false;
    int error = 0;
    std::string message;
    int line = 0;
    int column = 0;
    xmlDocPtr doc = nullptr;
};

bool failed(const Iterator* it);

// An element completed after the parse went wrong (an undeclared prefix on
// it, say) is not handed out, and parsing stops there.
void on_end(void* data, xmlNodePtr node) {
    auto* it = static_cast<Iterator*>(data);
    if (failed(it)) {
        xmlStopParser(it->ctxt);
        return;
    }
    it->ready.push_back(node);  // may throw: end_element turns that into a failed parse
}

void record_failure(Iterator* it, int code, std::string message, int line, int column) {
    if (it->error != 0) return;
    it->error = code;
    it->message = std::move(message);
    it->line = line;
    it->column = column;
}

bool failed(const Iterator* it) {
    const ParseState& st = it->state;
    if (st.depth_exceeded) return true;
    // A parser that stopped without reporting through the handler ran out
    // of memory (libxml2 records that only in the context).
    if (st.first_error == 0) return xmlCtxtIsStopped(it->ctxt) != 0;
    if (st.first_level == XML_ERR_FATAL || xmlCtxtIsStopped(it->ctxt)) return true;
    return st.ns_error;  // namespace errors are fatal, as in the strict default
}

// Feeds one chunk; false once there is nothing more to feed.
bool feed(Iterator* it) {
    if (it->finished) return false;
    char buf[kChunk];
    const char* chunk = buf;
    ssize_t n = 0;
    if (it->fd >= 0) {
        do {
            n = ::read(it->fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            record_failure(it, XML_IO_UNKNOWN, std::string("read failed: ") + std::strerror(errno), 0, 0);
            it->finished = true;
            return false;
        }
    } else {
        size_t left = it->data.size() - it->pos;
        n = static_cast<ssize_t>(left < kChunk ? left : kChunk);
        chunk = it->data.data() + it->pos;
        it->pos += static_cast<size_t>(n);
    }
    bool last = n == 0;
    xmlParseChunk(it->ctxt, chunk, static_cast<int>(n), last ? 1 : 0);
    // The document is known once its first element has started (asking the
    // context for it would hand it over before the parse is done).
    if (it->doc == nullptr && it->state.doc != nullptr) {
        it->doc = it->state.doc;
        side_attach(it->doc);
        side_note_entities(it->doc);
    }
    if (failed(it)) {
        const ParseState& st = it->state;
        const xmlError* last_error = xmlCtxtGetLastError(it->ctxt);
        int unreported = last_error != nullptr && last_error->code != 0 ? last_error->code
                                                                         : XML_ERR_INTERNAL_ERROR;
        record_failure(it, st.first_error != 0 ? st.first_error : unreported,
                       st.message.empty() ? "parse failed" : st.message, st.line, st.column);
        it->finished = true;
    } else if (last) {
        it->finished = true;
    }
    return !it->finished;
}

Iterator* open_iterator(int flags, int* status, const char* url) {
    if ((flags & ~KORVITH_PARSE_ALL) != 0) {
        if (status != nullptr) *status = KORVITH_STATUS_BAD_OPTIONS;
        error_set(KORVITH_STATUS_BAD_OPTIONS, "invalid parse options", 0, 0);
        return nullptr;
    }
    auto* it = new (std::nothrow) Iterator();
    if (it == nullptr) {
        if (status != nullptr) *status = XML_ERR_NO_MEMORY;
        error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
        return nullptr;
    }
    it->state.cfg.flags = flags;
    it->state.on_end = on_end;
    it->state.on_end_data = it;
    it->ctxt = xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, url);
    if (it->ctxt == nullptr) {
        delete it;
        if (status != nullptr) *status = XML_ERR_NO_MEMORY;
        return nullptr;
    }
    install_hooks(it->ctxt, &it->state);
    xmlCtxtSetOptions(it->ctxt, libxml_options(flags, false));
    if (status != nullptr) *status = 0;
    error_clear();
    return it;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_iterparse_open_file(const char* path, int flags, int* status) try {
    if (status != nullptr) *status = 0;
    int fd = open_source(path, status);
    if (fd < 0) return nullptr;
    Iterator* it = open_iterator(flags, status, path);
    if (it == nullptr) {
        ::close(fd);
        return nullptr;
    }
    it->fd = fd;
    return it;
} catch (...) { return korvith::entry_failed<void*>(nullptr, status); }

void* korvith_iterparse_open_buffer(const char* data, size_t length, int flags, int* status) try {
    if (status != nullptr) *status = 0;
    Iterator* it = open_iterator(flags, status, nullptr);
    if (it == nullptr) return nullptr;
    try {
        if (data != nullptr) it->data.assign(data, length);
    } catch (...) {
        korvith_iterparse_free(it);
        if (status != nullptr) *status = XML_ERR_NO_MEMORY;
        return nullptr;
    }
    return it;
} catch (...) { return korvith::entry_failed<void*>(nullptr, status); }

void* korvith_iterparse_next(void* iterator) try {
    auto* it = static_cast<Iterator*>(iterator);
    if (it == nullptr) return nullptr;
    while (it->ready.empty() && feed(it)) {
    }
    if (it->ready.empty()) return nullptr;
    xmlNodePtr node = it->ready.front();
    it->ready.pop_front();
    return node;
} catch (...) {
    // The iterator ends with the failure as its error, so that a caller
    // reading korvith_iterparse_error never mistakes it for the end.
    int code = korvith::entry_status();
    auto* it = static_cast<Iterator*>(iterator);
    if (it->error == 0) it->error = code;
    it->finished = true;
    return nullptr;
}

void korvith_iterparse_release(void* iterator, void* element) try {
    auto* it = static_cast<Iterator*>(iterator);
    xmlNodePtr node = as_node(element);
    if (it == nullptr || !is_element(node) || node->doc != it->doc) return;
    // Never free an element the parser still has open.
    for (xmlNodePtr open = xmlCtxtGetNode(it->ctxt); open != nullptr; open = open->parent) {
        if (open == node) return;
    }
    for (xmlNodePtr q : it->ready) {
        for (xmlNodePtr p = q; p != nullptr; p = p->parent) {
            if (p == node) return;  // still to be handed out
        }
    }
    // A kept serialisation may be keyed by a node about to be freed, whose
    // address a later node can take.
    side_forget_output(it->doc);
    forget_released(&it->state, node);
    // Processed preceding siblings go too; a DTD (owner of the entities)
    // stays.
    xmlNodePtr prev = node->prev;
    while (prev != nullptr) {
        xmlNodePtr before = prev->prev;
        if (prev->type != XML_DTD_NODE) {
            xmlUnlinkNode(prev);
            xmlFreeNode(prev);
        }
        prev = before;
    }
    xmlUnlinkNode(node);
    xmlFreeNode(node);
} catch (...) { korvith::entry_failed(); }

int korvith_iterparse_error(void* iterator, char* buf, size_t cap, int* line, int* column) try {
    auto* it = static_cast<Iterator*>(iterator);
    if (line != nullptr) *line = it != nullptr ? it->line : 0;
    if (column != nullptr) *column = it != nullptr ? it->column : 0;
    if (buf != nullptr && cap > 0) {
        const std::string& m = it != nullptr ? it->message : std::string();
        size_t n = m.size() < cap - 1 ? m.size() : cap - 1;
        std::memcpy(buf, m.data(), n);
        buf[n] = '\0';
    }
    return it != nullptr ? it->error : 0;
} catch (...) { return korvith::entry_status(); }

void* korvith_iterparse_document(void* iterator) try {
    auto* it = static_cast<Iterator*>(iterator);
    if (it == nullptr) return nullptr;
    return it->doc;
} catch (...) { return korvith::entry_failed<void*>(nullptr); }

void korvith_iterparse_free(void* iterator) try {
    auto* it = static_cast<Iterator*>(iterator);
    if (it == nullptr) return;
    // A document that never reached its first element is still the
    // context's to hand over.
    xmlDocPtr doc = it->doc;
    if (doc == nullptr && it->ctxt != nullptr) doc = xmlCtxtGetDocument(it->ctxt);
    // The document first: it shares the parser's dictionary.
    if (doc != nullptr) {
        side_release(doc);
        xmlFreeDoc(doc);
    }
    if (it->ctxt != nullptr) xmlFreeParserCtxt(it->ctxt);
    if (it->fd >= 0) ::close(it->fd);
    delete it;
} catch (...) { korvith::entry_failed(); }

}  // extern "C"
