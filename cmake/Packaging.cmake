# The Debian package (`cpack` in the build tree) and the documents it carries:
# the copyright file, the changelog and the manual page, all made at configure
# time from LICENSE, CHANGELOG.md and docs/quorva.1.in.

set(QUORVA_CONTACT "QUORVA developers <dev@quorva.invalid>")
set(QUORVA_DOCUMENTS ${CMAKE_BINARY_DIR}/documents)
file(MAKE_DIRECTORY ${QUORVA_DOCUMENTS})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    ${PROJECT_SOURCE_DIR}/docs/quorva.1.in
    ${PROJECT_SOURCE_DIR}/resources/org.quorva.Quorva.metainfo.xml)

find_program(QUORVA_GZIP gzip REQUIRED)
# Without a name or a time stamp in the header, so the same text makes the same file.
function(quorva_gzip source target)
    execute_process(COMMAND ${QUORVA_GZIP} -9 -n -c ${source} OUTPUT_FILE ${target}
                    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# The machine-readable copyright file, with LICENSE's terms as its licence text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(FIND "${license}" "Permission is hereby granted" terms)
string(SUBSTRING "${license}" ${terms} -1 license)
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
file(WRITE ${QUORVA_DOCUMENTS}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: QUORVA
Upstream-Contact: ${QUORVA_CONTACT}

Files: *
Copyright: 2026 QUORVA developers
License: Expat
Comment: The MIT licence, as LICENSE in the source tree holds it.

License: Expat
 ${license}
")

# CHANGELOG.md in the Debian changelog format: one entry per release heading.
function(quorva_weekday year month day result)
    # Sakamoto's method; 0 is Sunday.
    set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
    math(EXPR index "${month} - 1")
    list(GET offsets ${index} offset)
    if(month LESS 3)
        math(EXPR year "${year} - 1")
    endif()
    math(EXPR weekday "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
    list(GET QUORVA_WEEKDAYS ${weekday} name)
    set(${result} ${name} PARENT_SCOPE)
endfunction()
set(QUORVA_WEEKDAYS Sun Mon Tue Wed Thu Fri Sat)
set(QUORVA_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)

file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md rest)
set(debian_changelog "")
set(entry_end "")
set(QUORVA_RELEASE_DATE "")
# Line by line without lists, which a semicolon or a bracket in the text would break.
string(APPEND rest "\n")
while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\n" end)
    string(SUBSTRING "${rest}" 0 ${end} line)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${rest}" ${end} -1 rest)
    if(line MATCHES "^## ([0-9][^ ]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
        set(version ${CMAKE_MATCH_1})
        set(year ${CMAKE_MATCH_2})
        set(day_text ${CMAKE_MATCH_4})
        math(EXPR month "${CMAKE_MATCH_3}")
        math(EXPR day "${CMAKE_MATCH_4}")
        if(NOT QUORVA_RELEASE_DATE)
            if(NOT version STREQUAL PROJECT_VERSION)
                message(FATAL_ERROR "CHANGELOG.md's newest release is ${version}, the project's ${PROJECT_VERSION}")
            endif()
            set(QUORVA_RELEASE_DATE "${CMAKE_MATCH_2}-${CMAKE_MATCH_3}-${CMAKE_MATCH_4}")
        endif()
        quorva_weekday(${year} ${month} ${day} weekday)
        math(EXPR month_index "${month} - 1")
        list(GET QUORVA_MONTHS ${month_index} month_name)
        string(APPEND debian_changelog "${entry_end}quorva (${version}) unstable; urgency=medium\n\n")
        set(entry_end "\n -- ${QUORVA_CONTACT}  ${weekday}, ${day_text} ${month_name} ${year} 12:00:00 +0000\n\n")
    elseif(entry_end AND line MATCHES "^- (.*)$")
        string(APPEND debian_changelog "  * ${CMAKE_MATCH_1}\n")
    elseif(entry_end AND line MATCHES "^  +(.*)$")
        string(APPEND debian_changelog "    ${CMAKE_MATCH_1}\n")
    endif()
endwhile()
if(NOT QUORVA_RELEASE_DATE)
    message(FATAL_ERROR "CHANGELOG.md has no release heading")
endif()
string(REGEX REPLACE "\n\n$" "\n" entry_end "${entry_end}")
file(WRITE ${QUORVA_DOCUMENTS}/changelog "${debian_changelog}${entry_end}")
quorva_gzip(${QUORVA_DOCUMENTS}/changelog ${QUORVA_DOCUMENTS}/changelog.gz)

# Software centres read the releases from the metainfo.
file(READ ${PROJECT_SOURCE_DIR}/resources/org.quorva.Quorva.metainfo.xml metainfo)
string(FIND "${metainfo}" "<release version=\"${PROJECT_VERSION}\" date=\"${QUORVA_RELEASE_DATE}\"" listed)
if(listed EQUAL -1)
    message(FATAL_ERROR "The metainfo has no release ${PROJECT_VERSION} of ${QUORVA_RELEASE_DATE}")
endif()

configure_file(${PROJECT_SOURCE_DIR}/docs/quorva.1.in ${QUORVA_DOCUMENTS}/quorva.1 @ONLY)
quorva_gzip(${QUORVA_DOCUMENTS}/quorva.1 ${QUORVA_DOCUMENTS}/quorva.1.gz)

install(FILES ${QUORVA_DOCUMENTS}/copyright ${QUORVA_DOCUMENTS}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${QUORVA_DOCUMENTS}/quorva.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorva)
set(CPACK_PACKAGE_CONTACT ${QUORVA_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop shell for a local shop catalog")
# cpack indents each line and marks the empty ones.
set(CPACK_PACKAGE_DESCRIPTION
"QUORVA keeps a small shop's catalog on the computer it runs on: one window
showing the pages of a bundled catalog server, which stores the items in a
local SQLite file. The pages are in Thai, with Thai search and sort, CSV
import and export, and daily snapshots of the catalog that can be restored.

The window starts the server, watches it and stops it with itself; links to
other sites open in the default browser.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Libraries from the binary's own links; the interpreter and fonts by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= 3.9), fonts-thai-tlwg | fonts-thai-tlwg-ttf")
# Only a catalog shared on PostgreSQL needs its driver.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-psycopg")
include(CPack)
