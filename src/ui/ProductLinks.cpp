#include "ui/ProductLinks.h"

QUrl VendorWebsite() {
    return QUrl(QStringLiteral("https://www.zelhome.example/"));
}
