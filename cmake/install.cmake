# Installation (programs, man pages, completion, the unit and examples) and the Debian package.
include(GNUInstallDirs)

# Man pages: written once in Markdown under doc/, made into roff by pandoc.
find_program(ORVANE_PANDOC pandoc)
set(ORVANE_MAN_PAGES orvaneftp.1 orvane-script.5 orvanesched.8)
# SOURCE_DATE_EPOCH, when set, makes the date (and so the package) reproducible.
string(TIMESTAMP ORVANE_MAN_DATE "%Y-%m-%d" UTC)
set(ORVANE_MAN_DIR ${PROJECT_BINARY_DIR}/man)
if(ORVANE_PANDOC)
  set(man_outputs)
  foreach(page ${ORVANE_MAN_PAGES})
    string(REGEX MATCH "[0-9]$" section ${page})
    set(out ${ORVANE_MAN_DIR}/${page})
    # No TeX math and no smart quotes: "$" and '"' are the language's own characters.
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANE_MAN_DIR}
      COMMAND ${ORVANE_PANDOC} -s -f markdown-tex_math_dollars-smart -t man -M date=${ORVANE_MAN_DATE}
              -M "footer=orvane ${PROJECT_VERSION}" -o ${out} ${PROJECT_SOURCE_DIR}/doc/${page}.md
      # Installed compressed, as Debian's policy asks; -n keeps the file's time out of it.
      COMMAND gzip -9nfk ${out}
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/${page}.md
      VERBATIM)
    list(APPEND man_outputs ${out})
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(orvane_man ALL DEPENDS ${man_outputs})
else()
  message(WARNING "pandoc not found: the man pages are neither built nor installed")
endif()

install(TARGETS orvaneftp orvanesched RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES dist/completion/orvaneftp.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME orvaneftp)
install(FILES dist/completion/orvanesched.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME orvanesched)
install(FILES dist/completion/_orvaneftp dist/completion/_orvanesched
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
set(changelog ${PROJECT_BINARY_DIR}/dist/changelog.gz)
add_custom_command(OUTPUT ${changelog} COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/dist/changelog > ${changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog)
add_custom_target(orvane_changelog ALL DEPENDS ${changelog})
configure_file(dist/orvanesched.service.in ${PROJECT_BINARY_DIR}/dist/orvanesched.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/orvanesched.service dist/examples/orvanesched.ssi
              dist/examples/nightly.fscr dist/orvanesched.default dist/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package (scripts/package.sh): dependencies from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane maintainers <orvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console file transfer client (FTP, FTPS, SFTP) and scheduler")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "orvaneftp moves files over FTP, FTPS and SFTP from an interactive shell,\ncommand files or scripts in its automation language; orvanesched starts\nscheduled tasks as a systemd service.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The unit's user is made by the postinst, with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The same prefix as the unit's ExecStart: scripts/package.sh configures with /usr.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
