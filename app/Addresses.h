// The maker's addresses on the web, named once: the About box and the banner page link to them.
#pragma once

namespace addresses {

// Where the About box's link and the banner logo take the user.
inline constexpr const char* kWebSite = "https://qparlin.example.org/";
// The product's own page, the text the About box's link shows.
inline constexpr const char* kProductPage = "https://qparlin.example.org/simplex/";

}  // namespace addresses
