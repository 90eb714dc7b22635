#pragma once

#include <QUrl>

// The vendor's web site, opened by the Help menus and shown in the about box.
QUrl VendorWebsite();
