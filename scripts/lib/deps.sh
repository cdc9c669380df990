# Installs the Debian packages the project needs, only those that are missing.
# Usage: . scripts/lib/deps.sh; q2_install_deps [extra packages...]
Q2_DEPS=(build-essential cmake pkg-config libxml2-dev libcurl4-openssl-dev libssl-dev
         libgtest-dev libgmock-dev qt6-base-dev libsystemd-dev python3 python3-pyftpdlib
         openssl iproute2 util-linux ca-certificates)
q2_install_deps() {
  local missing=() p
  for p in "${Q2_DEPS[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
