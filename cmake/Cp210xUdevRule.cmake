# Writes the udev rule that lets the user at the seat and the plugdev group
# open CP210x bridges directly over USB, for every id in the backend's own id
# table, so that the rule and the table can never disagree.
#   tivako_write_cp210x_udev_rule(<id header> <rules file>)
function(tivako_write_cp210x_udev_rule header output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(STRINGS ${header} rows REGEX "\\{0x[0-9A-F]+, 0x[0-9A-F]+\\}")
  set(rules "")
  foreach(row IN LISTS rows)
    string(REGEX MATCHALL "\\{0x[0-9A-F]+, 0x[0-9A-F]+\\}" pairs "${row}")
    foreach(pair IN LISTS pairs)
      string(REGEX REPLACE "\\{0x([0-9A-F]+), 0x([0-9A-F]+)\\}" "\\1;\\2" ids "${pair}")
      list(GET ids 0 vendor)
      list(GET ids 1 product)
      string(TOLOWER "${vendor}" vendor)
      string(TOLOWER "${product}" product)
      string(APPEND rules "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", MODE=\"0664\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n")
    endforeach()
  endforeach()
  file(WRITE ${output}.new
"# Tivako file loader: lets the user at the local seat (uaccess) and members of
# the plugdev group open Silicon Labs CP210x USB-to-UART bridges directly over
# USB. The loader detaches the kernel's serial driver while it holds a bridge
# and hands the port back when it lets go. Generated from the loader's id
# table; bridges with other ids need a line of their own here and
# TIVAKO_USB_IDS=vvvv:pppp when the loader starts.
#
# Install as /etc/udev/rules.d/70-tivako-cp210x.rules (or the package's
# /usr/lib/udev/rules.d/), then: udevadm control --reload && udevadm trigger,
# or plug the bridge in again. The number must stay below 73 so that the
# uaccess tag is seen by systemd-logind's seat rules.

ACTION==\"remove\", GOTO=\"tivako_cp210x_end\"
SUBSYSTEM!=\"usb\", GOTO=\"tivako_cp210x_end\"
ENV{DEVTYPE}!=\"usb_device\", GOTO=\"tivako_cp210x_end\"

${rules}
LABEL=\"tivako_cp210x_end\"
")
  # Rewritten only when it changed, so nothing rebuilds for nothing.
  file(COPY_FILE ${output}.new ${output} ONLY_IF_DIFFERENT)
  file(REMOVE ${output}.new)
endfunction()
