print("The demo arrives with the simulated add-in.")
