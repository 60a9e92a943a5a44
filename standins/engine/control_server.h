// The stand-in engine's control interface for drivers in other processes: a named pipe that
// speaks the line protocol described in the README ("Driving the host by hand"). It is off unless
// the environment variable ORVANE_STANDIN_CONTROL names the pipe. Internal to the stand-in
// flutter_windows.dll.
#ifndef ORVANE_STANDINS_ENGINE_CONTROL_SERVER_H_
#define ORVANE_STANDINS_ENGINE_CONTROL_SERVER_H_

namespace standin_engine {

// Starts the pipe server once per process when the run asks for it. Call on the thread that runs
// the engines (the host's UI thread): every command is carried out there, because the stand-in's
// messaging and views belong to that thread.
void StartControlServerIfAsked();

// Restores the knobs of the pipe's hand-over to the UI thread (StandinEngineReset).
void ResetControlKnobs();

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_CONTROL_SERVER_H_
