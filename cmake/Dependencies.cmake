# Everything comes from Debian 12 packages (see scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(Qt5 5.15 REQUIRED COMPONENTS Core Network)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem locale date_time system)
find_package(OpenSSL 3 REQUIRED)

find_path(HTTP_PARSER_INCLUDE_DIR http_parser.h REQUIRED)
find_library(HTTP_PARSER_LIBRARY NAMES http_parser REQUIRED)
add_library(HttpParser::HttpParser UNKNOWN IMPORTED)
set_target_properties(HttpParser::HttpParser PROPERTIES
  IMPORTED_LOCATION ${HTTP_PARSER_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${HTTP_PARSER_INCLUDE_DIR})

# The upload binds its handlers with boost::bind's global placeholders (_1, _2);
# 1.74 warns that those are deprecated unless this asks for them.
add_compile_definitions(BOOST_BIND_GLOBAL_PLACEHOLDERS)
