#pragma once

#include "web/webeditor.h"
#include "web/webkeys.h"

#include <QByteArrayView>
#include <QStringList>

#include <optional>

// Who may draw from the web, and from which pages: --web-edit, the keys of --web-keys and the
// origins of --web-origin, as they stand now (each may change on a reload). The WebSocket and
// the HTTP routes that edit ask here, so that the two cannot disagree.
class WebAccess
{
public:
    void setEditForAll(bool edit) { m_editForAll = edit; }
    // Any page the server accepts may draw, with no key.
    bool editForAll() const { return m_editForAll; }
    void setKeys(WebKeys keys) { m_keys = std::move(keys); }
    const WebKeys &keys() const { return m_keys; }
    void setOrigins(const QStringList &origins) { m_origins = origins; }

    // The editor whose key this is; compared in constant time (see WebKeys::find()).
    std::optional<WebEditor> editorFor(QByteArrayView key) const { return m_keys.find(key); }
    // The key of an "Authorization: Bearer KEY" header's value, or empty.
    static QByteArrayView bearerKey(QByteArrayView authorization);

    // Whether a page of origin (an Origin header's value) may open the WebSocket of the server
    // reached as host (the Host header's value): its own pages, and those of --web-origin.
    bool allowsOrigin(QByteArrayView origin, QByteArrayView host) const;

private:
    bool m_editForAll = false;
    WebKeys m_keys;
    QStringList m_origins;
};
