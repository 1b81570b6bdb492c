# Sourced: a private PulseAudio server with one null sink, for tests that
# need a sound device on a machine that has none (CI) without touching the
# user's own server.
#
#   pulse_start DIR   starts it with its socket in DIR; exports PULSE_SERVER
#                     so that every client (ALSA's default device through
#                     the PulseAudio plugin included) plays into it
#   pulse_stop        stops it again
# The sink is "vlorp", 44 100 Hz 16-bit stereo; what it plays can be
# recorded from "vlorp.monitor".

pulse_start() {
    local dir=$1
    mkdir -p "$dir/home"
    command -v pulseaudio >/dev/null || return 1
    # As root the server warns that it is not meant to run as root, and
    # without a session bus it warns about that too; both are harmless.
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir" PULSE_RUNTIME_PATH="$dir" \
        pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disable-shm=yes --log-target=stderr \
        --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        --load="module-null-sink sink_name=vlorp rate=44100 format=s16le channels=2" \
        >"$dir/pulse.log" 2>&1 &
    PULSE_PID=$!
    export PULSE_SERVER="unix:$dir/native"
    for _ in $(seq 50); do
        if pactl info >/dev/null 2>&1; then
            # A fresh server holds its first stream back for a second or
            # more; half a second of silence gets that over with.
            head -c 88200 /dev/zero | pacat --raw --format=s16le --rate=44100 --channels=2
            return 0
        fi
        sleep 0.1
    done
    pulse_stop
    return 1
}

pulse_stop() {
    [ -n "${PULSE_PID:-}" ] || return 0
    kill "$PULSE_PID" 2>/dev/null
    wait "$PULSE_PID" 2>/dev/null
    PULSE_PID=
    unset PULSE_SERVER
}
