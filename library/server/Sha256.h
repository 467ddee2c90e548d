#pragma once

#include <QByteArray>

struct evp_md_ctx_st;

namespace Quorvane {

// A running SHA-256 over the bytes of one transfer.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void add(const char *data, size_t size);
    // The digest of everything added so far; adding may go on after.
    QByteArray digest() const;

private:
    evp_md_ctx_st *m_context;
};

} // namespace Quorvane
