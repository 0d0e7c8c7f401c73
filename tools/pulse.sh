# Sourced by the test command: a PulseAudio server of our own with a null sink, in a
# private runtime folder, so that sound tests never touch (or depend on) the machine's audio.
start_private_pulse() {
  if ! command -v pulseaudio >/dev/null; then return 0; fi
  PULSE_PRIVATE_DIR=$(mktemp -d /tmp/tolvane-pulse.XXXXXX)
  export PULSE_RUNTIME_PATH=$PULSE_PRIVATE_DIR/runtime
  export PULSE_STATE_PATH=$PULSE_PRIVATE_DIR/state
  mkdir -p "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
    --load="module-native-protocol-unix socket=$PULSE_PRIVATE_DIR/native auth-anonymous=1" \
    --load="module-null-sink sink_name=tolvane_null sink_properties=device.description=Tolvane_Null" \
    --log-target=file:"$PULSE_PRIVATE_DIR/log" >/dev/null 2>&1 &
  PULSE_PRIVATE_PID=$!
  export PULSE_SERVER=unix:$PULSE_PRIVATE_DIR/native
  export PULSE_SINK=tolvane_null
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "warning: the private PulseAudio server did not start" >&2
}

stop_private_pulse() {
  if [ -n "${PULSE_PRIVATE_PID:-}" ]; then
    kill "$PULSE_PRIVATE_PID" 2>/dev/null || true
    wait "$PULSE_PRIVATE_PID" 2>/dev/null || true
  fi
  [ -n "${PULSE_PRIVATE_DIR:-}" ] && rm -rf "$PULSE_PRIVATE_DIR"
  return 0
}
