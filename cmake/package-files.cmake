# Run by CPack once the package's files are staged and before they are zipped: signs the
# executable when the environment gives a certificate, then lists the SHA-256 of every file as
# shipped. Without CODE_SIGNING_PKCS12 the package is the unsigned build, as it always was.
set(dir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")

# A package left from an earlier run must not pass for this run's if this one fails.
file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip")

if(DEFINED ENV{CODE_SIGNING_PKCS12})
  execute_process(COMMAND "${CPACK_ETT_SIGN_EXE}" "${dir}/enable-tcp-timestamps.exe" "${CPACK_PACKAGE_NAME}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "enable-tcp-timestamps.exe was not signed, so no package was made.")
  endif()
endif()

file(SHA256 "${dir}/enable-tcp-timestamps.exe" exe)
file(SHA256 "${dir}/README.md" readme)
file(WRITE "${dir}/SHA256SUMS" "${exe}  enable-tcp-timestamps.exe\n${readme}  README.md\n")
